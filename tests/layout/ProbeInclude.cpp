// Compiled only by the layout tests, with the include folders of one module: the header that
// PROBE_HEADER names belongs to a module that this one does not declare, so this must not compile.
#include PROBE_HEADER

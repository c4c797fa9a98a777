#!/bin/sh
# Asks a running TarnwickScreenCapture agent for one screenshot and waits for its answer.
#
#   capture-client.sh [-t seconds] <output.jpg> [quality] [maxWidth] [tavik|desktop]
#
# Prints the JPEG's absolute path on success. On failure prints the agent's detail (or why no
# answer came) on standard error. Exit status: 0 captured, 1 the capture failed, 2 usage,
# 3 no agent folder, 4 no answer within the timeout (default 30 seconds, fractions allowed).
# Clients that hold the lock file (flock) are served one after another; needs flock(1).
set -eu

usage_line="usage: capture-client.sh [-t seconds] <output.jpg> [quality] [maxWidth] [tavik|desktop]"
usage() {
    echo "$usage_line" >&2
    exit 2
}

case ${1:-} in
-h | --help)
    printf '%s\n%s\n' "$usage_line" \
        "Asks the TarnwickScreenCapture agent for one screenshot; prints the JPEG's path."
    exit 0
    ;;
esac

timeout=30
while getopts t: option; do
    case $option in
    t) timeout=$OPTARG ;;
    *) usage ;;
    esac
done
shift $((OPTIND - 1))
if [ $# -lt 1 ] || [ $# -gt 4 ]; then usage; fi
printf '%s' "$timeout" | grep -Eq '^[0-9]+(\.[0-9]+)?$' || usage
now_ms() { date +%s%3N; }
deadline=$(($(now_ms) + $(awk -v t="$timeout" 'BEGIN { printf "%d", t * 1000 }')))

# Strings go into JSON: escape backslashes and quotes, refuse control characters.
json_string() {
    if [ "$(printf '%s' "$1" | LC_ALL=C tr -d '[:cntrl:]')" != "$1" ]; then
        echo "capture-client.sh: control characters are not supported: $1" >&2
        exit 2
    fi
    printf '"%s"' "$(printf '%s' "$1" | sed 's/\\/\\\\/g; s/"/\\"/g')"
}

# The agent resolves relative paths against its own working directory, not ours.
output=$1
case $output in
'') usage ;;
/*) ;;
*) output=$PWD/$output ;;
esac

id=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
request="{\"id\":\"$id\",\"output\":$(json_string "$output")"
if [ $# -ge 2 ]; then
    printf '%s' "$2" | grep -Eq '^-?[0-9]+(\.[0-9]+)?([eE][-+]?[0-9]+)?$' || usage
    request="$request,\"quality\":$2"
fi
if [ $# -ge 3 ]; then
    printf '%s' "$3" | grep -Eq '^-?[0-9]+$' || usage
    request="$request,\"maxWidth\":$3"
fi
if [ $# -ge 4 ]; then
    request="$request,\"target\":$(json_string "$4")"
fi
request="$request}"

folder=$HOME/.tavik/mobile-dropbox/data
request_file=$folder/screen-capture-agent-request.json
if [ ! -d "$folder" ]; then
    echo "capture-client.sh: $folder does not exist; create it and start the agent" >&2
    exit 3
fi

# Why an agent would leave requests in this folder alone, as far as a client can see it.
refusal() {
    for path in "$folder" "$request_file"; do
        [ -e "$path" ] || continue
        if [ -L "$path" ]; then
            echo "$path is a symbolic link, which the agent refuses"
            return
        fi
        set -- $(stat -Lc '%u %a' "$path")
        if [ "$1" != "$(id -u)" ]; then
            echo "$path belongs to another user, so the agent refuses it"
            return
        fi
        case $2 in
        *[2367])
            echo "all users can write $path, so the agent refuses it; run: chmod go-w '$path'"
            return
            ;;
        esac
    done
}

no_answer() {
    # A request still waiting would otherwise be performed for nobody once the agent gets to it.
    if grep -Fq "\"id\":\"$id\"" "$request_file" 2>/dev/null; then rm -f "$request_file"; fi
    echo "capture-client.sh: no answer from the agent within $timeout seconds" >&2
    why=$(refusal)
    if [ -n "$why" ]; then
        echo "capture-client.sh: $why" >&2
    else
        echo "capture-client.sh: the agent says why on its standard error:" \
            "journalctl --user -u tarnwick-screen-capture-agent.service;" \
            "TarnwickScreenCapture --doctor checks everything" >&2
    fi
    exit 4
}

# The request file holds one request: wait for our turn among clients that take this lock, and
# hold it until the answer is in.
exec 9>>"$folder/screen-capture-clients.lock"
wait_s=$(awk -v ms=$((deadline - $(now_ms))) 'BEGIN { printf "%.3f", (ms > 0 ? ms : 0) / 1000 }')
flock -w "$wait_s" 9 || no_answer

# Atomic hand-over: the agent never sees a half-written request.
temporary=$(mktemp "$folder/.request.XXXXXX")
trap 'rm -f "$temporary"' EXIT
printf '%s' "$request" >"$temporary"
mv -f "$temporary" "$request_file"

response_file=$folder/screen-capture-agent-response.json
while :; do
    # The response is replaced atomically, so one read sees a whole answer.
    response=$(cat "$response_file" 2>/dev/null || true)
    case $response in
    *"\"id\":\"$id\""*)
        case $response in
        *'"ok":true'*)
            printf '%s\n' "$output"
            exit 0
            ;;
        esac
        detail=$(printf '%s' "$response" |
            sed -En 's/.*"detail":"(([^"\\]|\\.)*)".*/\1/p' |
            sed 's/\\\//\//g; s/\\"/"/g; s/\\\\/\\/g')
        printf '%s\n' "${detail:-capture failed}" >&2
        exit 1
        ;;
    esac
    left=$((deadline - $(now_ms)))
    if [ "$left" -le 0 ]; then no_answer; fi
    if [ "$left" -lt 50 ]; then sleep "0.0$(printf '%02d' "$left")"; else sleep 0.05; fi
done

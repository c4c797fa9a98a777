/* A GTK 3 test window filled with one colour.
 *
 *   solid-window [--title T] [--app-id ID] [--class CLASS] [--colour RRGGBB] [--size WxH]
 *                [--csd | --no-csd] [--no-shadow]
 *
 * --app-id sets the program name: the Wayland app id, and the X11 WM_CLASS instance (res_name).
 * --class sets the X11 WM_CLASS class (res_class); it defaults to the app id as given.
 * --csd asks GTK for its own title bar (a header bar): a client-side decorated window with shadow
 * on Wayland and on X11. Without it the window is a plain GtkWindow, which GTK asks KWin to frame.
 * --no-shadow removes the shadow (and its margin) that GTK draws around a client-side decorated
 * window, so that its buffer is the window itself.
 *
 * Standard output: "mapped" once the first frame with the colour has been drawn.
 * Standard input, one command a line: "minimize", "present", "resize W H", "colour RRGGBB",
 * "title T", "quit". Each is answered "ok" after it was handed to GTK. End of input quits.
 */
#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static double red, green, blue;
static gboolean announced;
static GtkWidget *window;

static gboolean parse_colour(const char *text)
{
    unsigned value;
    char extra;
    if (text[0] == '#')
        text++;
    if (strlen(text) != 6 || sscanf(text, "%6x%c", &value, &extra) != 1)
        return FALSE;
    red = ((value >> 16) & 0xff) / 255.0;
    green = ((value >> 8) & 0xff) / 255.0;
    blue = (value & 0xff) / 255.0;
    return TRUE;
}

static gboolean draw(GtkWidget *widget, cairo_t *cr, gpointer data)
{
    (void)widget;
    (void)data;
    cairo_set_source_rgb(cr, red, green, blue);
    cairo_paint(cr);
    return FALSE;
}

static void after_paint(GdkFrameClock *clock, gpointer data)
{
    (void)data;
    if (!announced && gtk_widget_get_mapped(window)) {
        announced = TRUE;
        printf("mapped\n");
        fflush(stdout);
        g_signal_handlers_disconnect_by_func(clock, after_paint, NULL);
    }
}

static void realized(GtkWidget *widget, gpointer data)
{
    (void)data;
    GdkFrameClock *clock = gtk_widget_get_frame_clock(widget);
    g_signal_connect(clock, "after-paint", G_CALLBACK(after_paint), NULL);
}

static void reply(const char *text)
{
    printf("%s\n", text);
    fflush(stdout);
}

static gboolean command(GIOChannel *channel, GIOCondition condition, gpointer data)
{
    GtkWidget *area = data;
    gchar *line = NULL;
    gsize length = 0;
    (void)condition;
    GIOStatus status = g_io_channel_read_line(channel, &line, &length, NULL, NULL);
    if (status == G_IO_STATUS_AGAIN)
        return TRUE;
    if (status != G_IO_STATUS_NORMAL) {
        gtk_main_quit();
        return FALSE;
    }
    g_strstrip(line);
    int width, height;
    if (strcmp(line, "minimize") == 0) {
        gtk_window_iconify(GTK_WINDOW(window));
        reply("ok");
    } else if (strcmp(line, "present") == 0) {
        gtk_window_present(GTK_WINDOW(window));
        reply("ok");
    } else if (sscanf(line, "resize %d %d", &width, &height) == 2) {
        gtk_widget_set_size_request(area, width, height);
        gtk_window_resize(GTK_WINDOW(window), width, height);
        reply("ok");
    } else if (strncmp(line, "colour ", 7) == 0 && parse_colour(line + 7)) {
        gtk_widget_queue_draw(area);
        reply("ok");
    } else if (strncmp(line, "title ", 6) == 0) {
        gtk_window_set_title(GTK_WINDOW(window), line + 6);
        reply("ok");
    } else if (strcmp(line, "quit") == 0) {
        reply("ok");
        gtk_main_quit();
    } else {
        reply("error");
    }
    g_free(line);
    return TRUE;
}

int main(int argc, char **argv)
{
    const char *title = "solid", *app_id = "solid-window", *class_name = NULL;
    int width = 400, height = 300, csd = 0, shadow = 1;
    parse_colour("ff0000");
    for (int i = 1; i < argc; i++) {
        const char *value = i + 1 < argc ? argv[i + 1] : NULL;
        if (strcmp(argv[i], "--csd") == 0) {
            csd = 1;
        } else if (strcmp(argv[i], "--no-csd") == 0) {
            csd = 0;
        } else if (strcmp(argv[i], "--no-shadow") == 0) {
            shadow = 0;
        } else if (value && strcmp(argv[i], "--title") == 0) {
            title = value, i++;
        } else if (value && strcmp(argv[i], "--app-id") == 0) {
            app_id = value, i++;
        } else if (value && strcmp(argv[i], "--class") == 0) {
            class_name = value, i++;
        } else if (value && strcmp(argv[i], "--colour") == 0 && parse_colour(value)) {
            i++;
        } else if (value && strcmp(argv[i], "--size") == 0 &&
                   sscanf(value, "%dx%d", &width, &height) == 2 && width > 0 && height > 0) {
            i++;
        } else {
            fprintf(stderr, "usage: solid-window [--title T] [--app-id ID] [--class CLASS] "
                            "[--colour RRGGBB] [--size WxH] [--csd|--no-csd] [--no-shadow]\n");
            return 2;
        }
    }
    /* Before gtk_init: the program name is the app id on Wayland and res_name on X11; the class
     * is res_class on X11 (GTK would otherwise capitalise the first letter of the name). */
    g_set_prgname(app_id);
    gdk_set_program_class(class_name ? class_name : app_id);
    gtk_init(&argc, &argv);
    if (!shadow) {
        GtkCssProvider *css = gtk_css_provider_new();
        gtk_css_provider_load_from_data(
            css, "decoration, decoration:backdrop { box-shadow: none; margin: 0; }", -1, NULL);
        gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                                  GTK_STYLE_PROVIDER_PRIORITY_USER);
    }

    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), title);
    GtkWidget *area = gtk_drawing_area_new();
    gtk_widget_set_size_request(area, width, height);
    g_signal_connect(area, "draw", G_CALLBACK(draw), NULL);
    gtk_container_add(GTK_CONTAINER(window), area);
    if (csd) {
        GtkWidget *bar = gtk_header_bar_new();
        gtk_header_bar_set_title(GTK_HEADER_BAR(bar), title);
        gtk_header_bar_set_show_close_button(GTK_HEADER_BAR(bar), TRUE);
        gtk_window_set_titlebar(GTK_WINDOW(window), bar);
    }
    gtk_window_set_default_size(GTK_WINDOW(window), width, height);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), NULL);
    g_signal_connect(window, "realize", G_CALLBACK(realized), NULL);

    GIOChannel *input = g_io_channel_unix_new(0);
    g_io_add_watch(input, G_IO_IN | G_IO_HUP | G_IO_ERR, command, area);

    gtk_widget_show_all(window);
    gtk_main();
    return 0;
}

#include "platform/ChooserDialog.h"

#include "platform/MainThread.h"

#include <glib/gstdio.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <unistd.h>

namespace platform {

namespace {

constexpr const char* kMessage = "请选择一张证书：";
constexpr const char* kColumnTitle = "证书列表：";
constexpr const char* kOkLabel = "Ok";
constexpr const char* kCancelLabel = "Cancel";
constexpr const char* kWindowTitle = "Halvorn";
constexpr int kListWidth = 468;
constexpr int kListHeight = 208;
constexpr double kFontPoints = 13.0;
constexpr const char* kNoDisplayLine = "Certificate chooser: no display available, no certificate chosen\n";

// Black rows on the list's background; the selected row white on pure blue,
// whether or not the window has the focus.
constexpr const char* kListCss =
    "treeview.view { color: #000000; }\n"
    "treeview.view:selected, treeview.view:selected:focus, treeview.view:selected:backdrop {\n"
    "  background-color: #0000ff; color: #ffffff; }\n";

constexpr const char* kViewerProgram = "gcr-viewer";
constexpr const char* kViewerTemplate = "halvorn-certificate-XXXXXX.der";

template <auto Fn>
struct GDeleter {
    template <typename T>
    void operator()(T* p) const noexcept { Fn(p); }
};
using GCharPtr = std::unique_ptr<gchar, GDeleter<g_free>>;
using GObjectPtr = std::unique_ptr<void, GDeleter<g_object_unref>>;
using GMainLoopPtr = std::unique_ptr<GMainLoop, GDeleter<g_main_loop_unref>>;
using GErrorPtr = std::unique_ptr<GError, GDeleter<g_error_free>>;
using PangoAttrListPtr = std::unique_ptr<PangoAttrList, GDeleter<pango_attr_list_unref>>;

struct ToplevelDestroy {
    void operator()(GtkWidget* w) const noexcept { gtk_widget_destroy(w); }
};
using ToplevelPtr = std::unique_ptr<GtkWidget, ToplevelDestroy>;

// One modal run: what the callbacks need.
struct Run {
    IChooserTable* table = nullptr;
    GMainLoop* loop = nullptr;
    GtkTreeSelection* selection = nullptr;
    ChooserResponse response = ChooserResponse::Closed;
};

std::optional<std::size_t> selectedRow(GtkTreeSelection* selection)
{
    GtkTreeModel* model = nullptr;
    GtkTreeIter iter;
    if (!gtk_tree_selection_get_selected(selection, &model, &iter))
        return std::nullopt;
    GtkTreePath* path = gtk_tree_model_get_path(model, &iter);
    const gint index = gtk_tree_path_get_indices(path)[0];
    gtk_tree_path_free(path);
    if (index < 0)
        return std::nullopt;
    return static_cast<std::size_t>(index);
}

void finish(Run* run, ChooserResponse response)
{
    run->response = response;
    g_main_loop_quit(run->loop);
}

// GLib callbacks: nothing may be thrown back into GTK.
void onSelectionChanged(GtkTreeSelection* selection, gpointer data)
{
    try {
        static_cast<Run*>(data)->table->selectionDidChange(selectedRow(selection));
    } catch (...) {
    }
}

gboolean onButtonPress(GtkWidget*, GdkEventButton* event, gpointer data)
{
    try {
        auto* run = static_cast<Run*>(data);
        // The first press of a double-click has already selected its row.
        if (event->type == GDK_2BUTTON_PRESS && event->button == GDK_BUTTON_PRIMARY)
            run->table->rowDoubleClicked(selectedRow(run->selection));
    } catch (...) {
    }
    return FALSE;
}

void onOk(GtkButton*, gpointer data) { finish(static_cast<Run*>(data), ChooserResponse::Ok); }

void onCancel(GtkButton*, gpointer data) { finish(static_cast<Run*>(data), ChooserResponse::Cancel); }

gboolean onDelete(GtkWidget*, GdkEvent*, gpointer data)
{
    finish(static_cast<Run*>(data), ChooserResponse::Closed);
    return TRUE;  // the run destroys the window itself
}

gboolean onKeyPress(GtkWidget*, GdkEventKey* event, gpointer data)
{
    if (event->keyval != GDK_KEY_Escape)
        return FALSE;
    finish(static_cast<Run*>(data), ChooserResponse::Closed);
    return TRUE;
}

void onViewerExit(GPid pid, gint, gpointer data)
{
    g_unlink(static_cast<const gchar*>(data));
    g_free(data);
    g_spawn_close_pid(pid);
}

std::string validUtf8(const std::string& label)
{
    GCharPtr valid(g_utf8_make_valid(label.c_str(), -1));
    return valid ? std::string(valid.get()) : std::string();
}

GtkWidget* buildList(IChooserTable& table)
{
    GObjectPtr storeRef(gtk_list_store_new(1, G_TYPE_STRING));
    auto* store = static_cast<GtkListStore*>(storeRef.get());
    for (std::size_t row = 0; row < table.numberOfRows(); ++row) {
        GtkTreeIter iter;
        gtk_list_store_append(store, &iter);
        gtk_list_store_set(store, &iter, 0, validUtf8(table.labelOfRow(row)).c_str(), -1);
    }
    GtkWidget* list = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store));

    GtkCellRenderer* cell = gtk_cell_renderer_text_new();
    g_object_set(cell, "size-points", kFontPoints, nullptr);
    GtkTreeViewColumn* column = gtk_tree_view_column_new_with_attributes(kColumnTitle, cell, "text", 0, nullptr);
    gtk_tree_view_column_set_expand(column, TRUE);
    gtk_tree_view_append_column(GTK_TREE_VIEW(list), column);
    gtk_tree_view_set_headers_visible(GTK_TREE_VIEW(list), TRUE);
    gtk_tree_view_set_grid_lines(GTK_TREE_VIEW(list), GTK_TREE_VIEW_GRID_LINES_BOTH);
    // SINGLE lets the user empty the selection again (Ctrl+click).
    gtk_tree_selection_set_mode(gtk_tree_view_get_selection(GTK_TREE_VIEW(list)), GTK_SELECTION_SINGLE);

    GObjectPtr cssRef(gtk_css_provider_new());
    auto* css = static_cast<GtkCssProvider*>(cssRef.get());
    gtk_css_provider_load_from_data(css, kListCss, -1, nullptr);
    gtk_style_context_add_provider(gtk_widget_get_style_context(list), GTK_STYLE_PROVIDER(css),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    return list;
}

ChooserResponse runOnThisThread(IChooserTable& table)
{
    if (!chooserDisplayAvailable()) {
        std::fputs(kNoDisplayLine, stdout);
        std::fflush(stdout);
        return ChooserResponse::NoDisplay;
    }

    Run run;
    run.table = &table;
    GMainLoopPtr loop(g_main_loop_new(nullptr, FALSE));
    run.loop = loop.get();

    ToplevelPtr window(gtk_window_new(GTK_WINDOW_TOPLEVEL));
    GtkWindow* win = GTK_WINDOW(window.get());
    gtk_window_set_title(win, kWindowTitle);
    gtk_window_set_modal(win, TRUE);
    gtk_window_set_resizable(win, FALSE);
    gtk_window_set_keep_above(win, TRUE);
    gtk_window_set_type_hint(win, GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_position(win, GTK_WIN_POS_CENTER);

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
    gtk_container_set_border_width(GTK_CONTAINER(box), 16);
    gtk_container_add(GTK_CONTAINER(win), box);

    GtkWidget* message = gtk_label_new(kMessage);
    PangoAttrListPtr bold(pango_attr_list_new());
    pango_attr_list_insert(bold.get(), pango_attr_weight_new(PANGO_WEIGHT_BOLD));
    gtk_label_set_attributes(GTK_LABEL(message), bold.get());
    gtk_widget_set_halign(message, GTK_ALIGN_START);
    gtk_box_pack_start(GTK_BOX(box), message, FALSE, FALSE, 0);

    GtkWidget* scroll = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroll), GTK_SHADOW_IN);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_AUTOMATIC, GTK_POLICY_ALWAYS);
    gtk_widget_set_size_request(scroll, kListWidth, kListHeight);
    GtkWidget* list = buildList(table);
    gtk_container_add(GTK_CONTAINER(scroll), list);
    gtk_box_pack_start(GTK_BOX(box), scroll, TRUE, TRUE, 0);
    run.selection = gtk_tree_view_get_selection(GTK_TREE_VIEW(list));

    // The first button sits rightmost and is the default.
    GtkWidget* buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
    gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
    gtk_box_set_spacing(GTK_BOX(buttons), 8);
    GtkWidget* cancel = gtk_button_new_with_label(kCancelLabel);
    GtkWidget* ok = gtk_button_new_with_label(kOkLabel);
    gtk_container_add(GTK_CONTAINER(buttons), cancel);
    gtk_container_add(GTK_CONTAINER(buttons), ok);
    gtk_box_pack_start(GTK_BOX(box), buttons, FALSE, FALSE, 0);
    gtk_widget_set_can_default(ok, TRUE);
    gtk_window_set_default(win, ok);

    g_signal_connect(run.selection, "changed", G_CALLBACK(onSelectionChanged), &run);
    g_signal_connect(list, "button-press-event", G_CALLBACK(onButtonPress), &run);
    g_signal_connect(ok, "clicked", G_CALLBACK(onOk), &run);
    g_signal_connect(cancel, "clicked", G_CALLBACK(onCancel), &run);
    g_signal_connect(win, "delete-event", G_CALLBACK(onDelete), &run);
    g_signal_connect(win, "key-press-event", G_CALLBACK(onKeyPress), &run);

    // Focus on the button before showing: a list that takes the focus
    // selects its first row, which would turn "Ok without a selection" into
    // a choice.
    gtk_widget_grab_focus(ok);
    gtk_widget_show_all(window.get());

    g_main_loop_run(run.loop);

    // The callbacks point at this frame and at the owner's choice: cut them
    // before the widgets go, so nothing said while tearing down reaches them.
    g_signal_handlers_disconnect_by_data(run.selection, &run);
    g_signal_handlers_disconnect_by_data(list, &run);
    g_signal_handlers_disconnect_by_data(ok, &run);
    g_signal_handlers_disconnect_by_data(cancel, &run);
    g_signal_handlers_disconnect_by_data(win, &run);
    window.reset();
    gdk_display_flush(gdk_display_get_default());
    return run.response;
}

} // namespace

bool chooserDisplayAvailable()
{
    if (gdk_display_get_default() != nullptr)
        return true;
    // Keep the process locale as it is: the dialog needs none of it, and the
    // rest of the service must not change behaviour once a dialog was shown.
    static std::once_flag noLocale;
    std::call_once(noLocale, [] { gtk_disable_setlocale(); });
    return gtk_init_check(nullptr, nullptr) != FALSE;
}

ChooserResponse GtkChooserDialog::runModal(IChooserTable& table)
{
    ChooserResponse response = ChooserResponse::Closed;
    runOnMainThread([&] { response = runOnThisThread(table); });
    return response;
}

bool GcrCertificateViewer::show(const std::string& der)
{
    if (der.empty())
        return false;
    GCharPtr program(g_find_program_in_path(kViewerProgram));
    if (!program)
        return false;

    gchar* rawName = nullptr;
    const int fd = g_file_open_tmp(kViewerTemplate, &rawName, nullptr);
    GCharPtr name(rawName);
    if (fd < 0)
        return false;
    std::size_t written = 0;
    while (written < der.size()) {
        const ssize_t n = write(fd, der.data() + written, der.size() - written);
        if (n <= 0)
            break;
        written += static_cast<std::size_t>(n);
    }
    close(fd);
    if (written != der.size()) {
        g_unlink(name.get());
        return false;
    }

    gchar* argv[] = {program.get(), name.get(), nullptr};
    GPid pid = 0;
    GError* rawError = nullptr;
    const gboolean started = g_spawn_async(nullptr, argv, nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr,
                                           &pid, &rawError);
    GErrorPtr error(rawError);
    if (!started) {
        g_unlink(name.get());
        return false;
    }
    // The watch owns the file name from here and removes the file at exit.
    g_child_watch_add(pid, onViewerExit, name.release());
    return true;
}

} // namespace platform

// The real GTK chooser on a private Xvfb display, clicked with xdotool from a
// driver thread while the dialog's modal loop runs on the main thread.

#include "core/CFChooseCertificatesPanel.h"
#include "platform/ChooserDialog.h"
#include "platform/MainThread.h"

#include "tests/core/ChooserDoubles.h"
#include "tests/support/fixtures.h"

#include <gtest/gtest.h>

#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using choosertest::named;
using choosertest::RecordingViewer;

using namespace std::chrono_literals;

constexpr auto kTimeout = 15s;

// An Xvfb server on the first free display, for the life of the test process.
class Xvfb {
public:
    bool start()
    {
        int fds[2];
        if (pipe(fds) != 0)
            return false;
        m_pid = fork();
        if (m_pid == 0) {
            close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        pollfd pfd{fds[0], POLLIN, 0};
        char c;
        while (poll(&pfd, 1, 10000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        close(fds[0]);
        if (m_pid <= 0 || number.empty())
            return false;
        setenv("DISPLAY", (":" + number).c_str(), 1);
        unsetenv("WAYLAND_DISPLAY");
        return true;
    }

    ~Xvfb()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }

private:
    pid_t m_pid = -1;
};

Xvfb* g_xvfb = nullptr;

class XvfbEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        g_xvfb = new Xvfb;
        ASSERT_TRUE(g_xvfb->start()) << "Xvfb did not start";
    }
    void TearDown() override { delete g_xvfb; }
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

// ----------------------------------------------------------------- widgets

void collect(GtkWidget* widget, std::vector<GtkWidget*>& out)
{
    out.push_back(widget);
    if (GTK_IS_CONTAINER(widget)) {
        GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
        for (GList* l = children; l != nullptr; l = l->next)
            collect(GTK_WIDGET(l->data), out);
        g_list_free(children);
    }
}

GtkWidget* chooserWindow()
{
    GList* toplevels = gtk_window_list_toplevels();
    GtkWidget* found = nullptr;
    for (GList* l = toplevels; l != nullptr; l = l->next) {
        GtkWidget* w = GTK_WIDGET(l->data);
        if (gtk_widget_get_mapped(w) && gtk_window_get_modal(GTK_WINDOW(w)))
            found = w;
    }
    g_list_free(toplevels);
    return found;
}

GtkTreeView* treeOf(GtkWidget* window)
{
    std::vector<GtkWidget*> all;
    collect(window, all);
    for (GtkWidget* w : all)
        if (GTK_IS_TREE_VIEW(w))
            return GTK_TREE_VIEW(w);
    return nullptr;
}

GtkWidget* buttonLabelled(GtkWidget* window, const char* label)
{
    std::vector<GtkWidget*> all;
    collect(window, all);
    for (GtkWidget* w : all)
        if (GTK_IS_BUTTON(w) && gtk_button_get_label(GTK_BUTTON(w)) != nullptr
            && std::string(gtk_button_get_label(GTK_BUTTON(w))) == label)
            return w;
    return nullptr;
}

struct Point {
    int x = -1;
    int y = -1;
};

Point rowCenter(GtkWidget* window, int row)
{
    GtkTreeView* tree = treeOf(window);
    GtkTreePath* path = gtk_tree_path_new_from_indices(row, -1);
    GdkRectangle rect;
    gtk_tree_view_get_cell_area(tree, path, gtk_tree_view_get_column(tree, 0), &rect);
    gtk_tree_path_free(path);
    int wx = 0;
    int wy = 0;
    gtk_tree_view_convert_bin_window_to_widget_coords(tree, rect.x + rect.width / 2, rect.y + rect.height / 2, &wx,
                                                      &wy);
    Point p;
    gtk_widget_translate_coordinates(GTK_WIDGET(tree), window, wx, wy, &p.x, &p.y);
    return p;
}

Point widgetCenter(GtkWidget* window, GtkWidget* widget)
{
    GtkAllocation a;
    gtk_widget_get_allocation(widget, &a);
    Point p;
    gtk_widget_translate_coordinates(widget, window, a.width / 2, a.height / 2, &p.x, &p.y);
    return p;
}

std::optional<int> selectedRow(GtkWidget* window)
{
    GtkTreeModel* model = nullptr;
    GtkTreeIter iter;
    if (!gtk_tree_selection_get_selected(gtk_tree_view_get_selection(treeOf(window)), &model, &iter))
        return std::nullopt;
    GtkTreePath* path = gtk_tree_model_get_path(model, &iter);
    const int row = gtk_tree_path_get_indices(path)[0];
    gtk_tree_path_free(path);
    return row;
}

// ----------------------------------------------------------------- driver

// Acts as the user from another thread: looks at the dialog on the main
// thread (inside its modal loop) and clicks with xdotool.
class User {
public:
    // Waits for the dialog; false when it never appears.
    bool waitForDialog()
    {
        return eventually([&] {
            bool found = false;
            platform::runOnMainThread([&] {
                GtkWidget* w = chooserWindow();
                if (w != nullptr && gtk_widget_get_realized(w)) {
                    m_xid = gdk_x11_window_get_xid(gtk_widget_get_window(w));
                    found = true;
                }
            });
            return found;
        });
    }

    template <typename Fn>
    auto onDialog(Fn fn)
    {
        decltype(fn(static_cast<GtkWidget*>(nullptr))) result{};
        platform::runOnMainThread([&] { result = fn(chooserWindow()); });
        return result;
    }

    void click(Point p, const std::string& extra = "")
    {
        xdotool("mousemove --window " + std::to_string(m_xid) + " " + std::to_string(p.x) + " " + std::to_string(p.y)
                + " " + extra);
    }

    void clickRow(int row, const std::string& how = "click 1")
    {
        click(onDialog([row](GtkWidget* w) { return rowCenter(w, row); }), how);
    }

    void clickButton(const char* label)
    {
        click(onDialog([label](GtkWidget* w) { return widgetCenter(w, buttonLabelled(w, label)); }), "click 1");
    }

    bool waitForSelection(std::optional<int> row)
    {
        return eventually([&] { return onDialog([](GtkWidget* w) { return selectedRow(w); }) == row; });
    }

    void key(const std::string& keys)
    {
        xdotool("windowfocus --sync " + std::to_string(m_xid) + " key " + keys);
    }

    static bool eventually(const std::function<bool()>& condition)
    {
        const auto deadline = std::chrono::steady_clock::now() + kTimeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (condition())
                return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

private:
    static void xdotool(const std::string& args)
    {
        const auto r = testsupport::run("xdotool " + args);
        EXPECT_EQ(r.status, 0) << "xdotool " << args << ": " << r.output;
    }

    unsigned long m_xid = 0;
};

class ChooserGtkTest : public ::testing::Test {
protected:
    // Shows the real dialog with `certificates` while `act` plays the user.
    std::optional<std::size_t> choose(const std::function<void(User&)>& act)
    {
        std::thread driver([&] {
            User user;
            if (!user.waitForDialog()) {
                ADD_FAILURE() << "the dialog did not appear";
                return;
            }
            act(user);
        });
        platform::GtkChooserDialog dialog;
        const auto choice = ChooseCertificates(certificates, dialog, viewer);
        driver.join();
        return choice;
    }

    std::vector<std::string> certificates = {
        testsupport::makeRsaCert(1024, named("Alice Zhang")).certDer(),
        testsupport::makeSm2Cert(named("张三")).certDer(),
        testsupport::makeRsaCert(1024, named("Bob Li")).certDer(),
        "no certificate at all",
    };
    RecordingViewer viewer;
};

// Whether the pixel at p of the window is the highlight blue.
bool isHighlightBlue(GdkPixbuf* shot, Point p)
{
    if (p.x < 0 || p.y < 0 || p.x >= gdk_pixbuf_get_width(shot) || p.y >= gdk_pixbuf_get_height(shot))
        return false;
    const guchar* px = gdk_pixbuf_get_pixels(shot) + p.y * gdk_pixbuf_get_rowstride(shot)
        + p.x * gdk_pixbuf_get_n_channels(shot);
    return px[0] < 40 && px[1] < 40 && px[2] > 215;
}

TEST_F(ChooserGtkTest, OkAfterRowTwoThenRowZeroChoosesRowZero)
{
    const auto choice = choose([](User& user) {
        // The dialog as built: texts, sizes and rows.
        user.onDialog([](GtkWidget* w) {
            std::vector<GtkWidget*> all;
            collect(w, all);
            bool message = false;
            for (GtkWidget* x : all) {
                if (GTK_IS_LABEL(x) && std::string(gtk_label_get_text(GTK_LABEL(x))) == "请选择一张证书：")
                    message = true;
                if (GTK_IS_SCROLLED_WINDOW(x)) {
                    int width = 0;
                    int height = 0;
                    gtk_widget_get_size_request(x, &width, &height);
                    EXPECT_EQ(width, 468);
                    EXPECT_EQ(height, 208);
                }
            }
            EXPECT_TRUE(message);
            GtkTreeView* tree = treeOf(w);
            EXPECT_STREQ(gtk_tree_view_column_get_title(gtk_tree_view_get_column(tree, 0)), "证书列表：");
            EXPECT_NE(buttonLabelled(w, "Ok"), nullptr);
            EXPECT_NE(buttonLabelled(w, "Cancel"), nullptr);
            std::vector<std::string> labels;
            GtkTreeModel* model = gtk_tree_view_get_model(tree);
            GtkTreeIter iter;
            for (gboolean ok = gtk_tree_model_get_iter_first(model, &iter); ok;
                 ok = gtk_tree_model_iter_next(model, &iter)) {
                gchar* text = nullptr;
                gtk_tree_model_get(model, &iter, 0, &text, -1);
                labels.emplace_back(text);
                g_free(text);
            }
            EXPECT_EQ(labels, (std::vector<std::string>{"Alice Zhang", "张三", "Bob Li", "unknown"}));
            return 0;
        });
        EXPECT_TRUE(user.waitForSelection(std::nullopt)) << "nothing is selected at first";

        user.clickRow(2);
        EXPECT_TRUE(user.waitForSelection(2));
        user.clickRow(0);
        EXPECT_TRUE(user.waitForSelection(0));

        // The highlighted row is drawn white on blue; keep the picture.
        const bool blue = User::eventually([&] {
            return user.onDialog([](GtkWidget* w) {
                GdkWindow* win = gtk_widget_get_window(w);
                GdkPixbuf* shot = gdk_pixbuf_get_from_window(win, 0, 0, gdk_window_get_width(win),
                                                            gdk_window_get_height(win));
                if (shot == nullptr)
                    return false;
                // The labels are short: a row's middle is its background.
                const bool ok = isHighlightBlue(shot, rowCenter(w, 0)) && !isHighlightBlue(shot, rowCenter(w, 1));
                if (ok) {
                    const auto dir = std::filesystem::path(HALVORN_BINARY_DIR) / "test-artefacts";
                    std::filesystem::create_directories(dir);
                    gdk_pixbuf_save(shot, (dir / "chooser-dialog.png").c_str(), "png", nullptr, nullptr);
                }
                g_object_unref(shot);
                return ok;
            });
        });
        EXPECT_TRUE(blue) << "row 0 is not drawn on blue";
        user.clickButton("Ok");
    });
    EXPECT_EQ(choice, 0u);
    EXPECT_TRUE(viewer.shown.empty());
}

TEST_F(ChooserGtkTest, CancelChoosesNothing)
{
    const auto choice = choose([](User& user) {
        user.clickRow(1);
        EXPECT_TRUE(user.waitForSelection(1));
        user.clickButton("Cancel");
    });
    EXPECT_EQ(choice, std::nullopt);
}

TEST_F(ChooserGtkTest, EscapeChoosesNothing)
{
    const auto choice = choose([](User& user) {
        user.clickRow(2);
        EXPECT_TRUE(user.waitForSelection(2));
        user.key("Escape");
    });
    EXPECT_EQ(choice, std::nullopt);
}

TEST_F(ChooserGtkTest, OkWithoutSelectionChoosesNothing)
{
    const auto choice = choose([](User& user) { user.clickButton("Ok"); });
    EXPECT_EQ(choice, std::nullopt);
}

TEST_F(ChooserGtkTest, EmptiedSelectionChoosesNothing)
{
    const auto choice = choose([](User& user) {
        user.clickRow(1);
        EXPECT_TRUE(user.waitForSelection(1));
        user.key("ctrl+space");  // GTK's own gesture for unselecting the cursor row
        EXPECT_TRUE(user.waitForSelection(std::nullopt));
        user.clickButton("Ok");
    });
    EXPECT_EQ(choice, std::nullopt);
}

TEST_F(ChooserGtkTest, DoubleClickShowsTheRowAndKeepsTheChoice)
{
    const auto choice = choose([](User& user) {
        user.clickRow(3, "click --repeat 2 --delay 80 1");
        EXPECT_TRUE(user.waitForSelection(3));
        user.clickButton("Ok");
    });
    EXPECT_EQ(choice, 3u);
    ASSERT_EQ(viewer.shown.size(), 1u);
    EXPECT_EQ(viewer.shown[0], certificates[3]);
}

} // namespace

#include "core/CFChooseCertificatesPanel.h"
#include "platform/ChooserDialog.h"
#include "platform/MainThread.h"

#include "tests/core/ChooserDoubles.h"
#include "tests/support/fixtures.h"

#include <gtest/gtest.h>

#include <glib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

using platform::ChooserResponse;
using platform::IChooserTable;

namespace {

using choosertest::named;
using choosertest::RecordingViewer;

// One step of a scripted user: select a row (none empties the selection),
// double-click, or close the dialog with a response.
struct Step {
    enum Kind { Select, DoubleClick } kind;
    std::optional<std::size_t> row;
};

class ScriptedDialog final : public platform::IChooserDialog {
public:
    ScriptedDialog(std::vector<Step> steps, ChooserResponse response)
        : m_steps(std::move(steps)), m_response(response)
    {
    }

    ChooserResponse runModal(IChooserTable& table) override
    {
        ranOnMainThread = platform::onMainThread();
        for (std::size_t row = 0; row < table.numberOfRows(); ++row)
            labels.push_back(table.labelOfRow(row));
        for (const Step& step : m_steps) {
            if (step.kind == Step::Select)
                table.selectionDidChange(step.row);
            else
                table.rowDoubleClicked(step.row);
        }
        return m_response;
    }

    std::vector<std::string> labels;
    bool ranOnMainThread = false;

private:
    std::vector<Step> m_steps;
    ChooserResponse m_response;
};

// Five certificates; rows 0 and 3 carry the same name.
std::vector<std::string> listing()
{
    return {testsupport::makeRsaCert(1024, named("Alice")).certDer(),
            testsupport::makeSm2Cert(named("张三")).certDer(),
            testsupport::makeRsaCert(1024, named("Bob")).certDer(),
            testsupport::makeRsaCert(1024, named("Alice"), 2).certDer(),
            testsupport::makeRsaCert(1024, named("Carol")).certDer()};
}

Step select(std::optional<std::size_t> row) { return {Step::Select, row}; }

TEST(ChooserTest, RowsAreLabelledByCommonNameOrUnknown)
{
    testsupport::Subject org;
    org.cn = "";
    org.o = "Bank Without Names";
    const std::vector<std::string> certificates = {
        testsupport::makeRsaCert(1024, named("Alice")).certDer(),
        testsupport::makeSm2Cert(named("张三")).certDer(),
        testsupport::makeRsaCert(1024, org).certDer(),
        "not a certificate",
        "",
    };
    ScriptedDialog dialog({select(2)}, ChooserResponse::Ok);
    RecordingViewer viewer;
    EXPECT_EQ(ChooseCertificates(certificates, dialog, viewer), 2u) << "a row without a name can be chosen";
    EXPECT_EQ(dialog.labels, (std::vector<std::string>{"Alice", "张三", "unknown", "unknown", "unknown"}));
}

TEST(ChooserTest, ChoiceFollowsTheLastSelectionAndTheButton)
{
    const auto certificates = listing();
    const struct {
        const char* name;
        std::vector<Step> steps;
        ChooserResponse response;
        std::optional<std::size_t> expected;
    } cases[] = {
        {"row 2 then row 0, Ok", {select(2), select(0)}, ChooserResponse::Ok, 0},
        {"equal labels keep their positions", {select(3)}, ChooserResponse::Ok, 3},
        {"Cancel", {select(1)}, ChooserResponse::Cancel, std::nullopt},
        {"closed", {select(1)}, ChooserResponse::Closed, std::nullopt},
        {"no display", {}, ChooserResponse::NoDisplay, std::nullopt},
        {"Ok without a selection", {}, ChooserResponse::Ok, std::nullopt},
        {"selection emptied after a row", {select(4), select(std::nullopt)}, ChooserResponse::Ok, std::nullopt},
        {"emptied, then a row again", {select(4), select(std::nullopt), select(1)}, ChooserResponse::Ok, 1},
        {"a row that does not exist", {select(1), select(9)}, ChooserResponse::Ok, std::nullopt},
    };
    for (const auto& c : cases) {
        ScriptedDialog dialog(c.steps, c.response);
        RecordingViewer viewer;
        EXPECT_EQ(ChooseCertificates(certificates, dialog, viewer), c.expected) << c.name;
        EXPECT_EQ(dialog.labels.size(), certificates.size()) << c.name;
    }
}

TEST(ChooserTest, EmptyListShowsNoRowsAndChoosesNothing)
{
    ScriptedDialog dialog({}, ChooserResponse::Ok);
    RecordingViewer viewer;
    EXPECT_EQ(ChooseCertificates({}, dialog, viewer), std::nullopt);
    EXPECT_TRUE(dialog.labels.empty());
}

TEST(ChooserTest, DoubleClickShowsTheSelectedCertificateAndKeepsTheChoice)
{
    const auto certificates = listing();
    ScriptedDialog dialog({{Step::DoubleClick, std::nullopt}, select(3), {Step::DoubleClick, 3}},
                          ChooserResponse::Ok);
    RecordingViewer viewer;
    EXPECT_EQ(ChooseCertificates(certificates, dialog, viewer), 3u);
    ASSERT_EQ(viewer.shown.size(), 1u) << "a double-click without a selection shows nothing";
    EXPECT_EQ(viewer.shown[0], certificates[3]);
}

// Commands may reach the chooser from another thread; the dialog still runs
// on the main thread, which is busy with its main loop meanwhile.
TEST(ChooserTest, DialogRunsOnTheMainThread)
{
    const auto certificates = listing();
    ScriptedDialog dialog({select(1)}, ChooserResponse::Ok);
    RecordingViewer viewer;
    std::optional<std::size_t> choice;
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    std::thread worker([&] {
        choice = ChooseCertificates(certificates, dialog, viewer);
        g_main_loop_quit(loop);
    });
    g_main_loop_run(loop);
    worker.join();
    g_main_loop_unref(loop);
    EXPECT_TRUE(dialog.ranOnMainThread);
    EXPECT_EQ(choice, 1u);
}

TEST(ChooserTest, WithoutDisplayTheChoiceIsNoneAndOneLineSaysSo)
{
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    testing::internal::CaptureStdout();
    const auto choice = ChooseCertificates(listing());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(choice, std::nullopt);
    EXPECT_EQ(out, "Certificate chooser: no display available, no certificate chosen\n");
}

// gcr-viewer stands in as a script that copies what it was given.
TEST(CertificateViewerTest, GcrViewerReceivesTheCertificateAndItsCopyIsRemoved)
{
    testsupport::TempDir bin;
    testsupport::TempDir out;
    const auto seen = out.path() / "seen.der";
    const auto argFile = out.path() / "arg.txt";
    testsupport::writeFile(bin.path() / "gcr-viewer",
                           "#!/bin/sh\nprintf %s \"$1\" > '" + argFile.string() + "'\n/bin/cp \"$1\" '" + seen.string()
                               + "'\n");
    std::filesystem::permissions(bin.path() / "gcr-viewer", std::filesystem::perms::owner_all);
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", bin.str().c_str(), 1);

    const std::string der = testsupport::makeRsaCert(1024, named("Viewer")).certDer();
    platform::GcrCertificateViewer viewer;
    const bool started = viewer.show(der);

    // The copy is removed when the viewer exits, which the main loop notices.
    std::string copy;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        g_main_context_iteration(nullptr, FALSE);
        copy = testsupport::readFile(argFile);
        if (!copy.empty() && !std::filesystem::exists(copy))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(started);
    EXPECT_EQ(testsupport::readFile(seen), der);
    EXPECT_FALSE(copy.empty());
    EXPECT_FALSE(std::filesystem::exists(copy)) << copy;

    setenv("PATH", out.str().c_str(), 1);
    EXPECT_FALSE(viewer.show(der)) << "no viewer installed";
    setenv("PATH", oldPath.c_str(), 1);
}

} // namespace

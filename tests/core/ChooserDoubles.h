#pragma once

// Stand-ins shared by the chooser tests with and without a display.

#include "platform/ChooserDialog.h"
#include "tests/support/fixtures.h"

#include <string>
#include <vector>

namespace choosertest {

// Records the certificates it was asked to show instead of opening a viewer.
class RecordingViewer final : public platform::ICertificateViewer {
public:
    bool show(const std::string& der) override
    {
        shown.push_back(der);
        return true;
    }
    std::vector<std::string> shown;
};

// A subject with just a common name.
inline testsupport::Subject named(const std::string& cn)
{
    testsupport::Subject subject;
    subject.cn = cn;
    return subject;
}

} // namespace choosertest

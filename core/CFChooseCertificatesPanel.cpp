#include "core/CFChooseCertificatesPanel.h"

#include "ossl/ptr.h"
#include "platform/MainThread.h"

#include <openssl/x509.h>

namespace {

constexpr const char* kUnknownName = "unknown";

// The common name of a certificate: the last CN of its subject, the most
// specific one; none when it has no CN, or an empty one, or it cannot be
// read as text.
std::optional<std::string> commonNameOf(const std::string& der)
{
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    ossl::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!cert)
        return std::nullopt;
    X509_NAME* subject = X509_get_subject_name(cert.get());
    int found = -1;
    for (int i = X509_NAME_get_index_by_NID(subject, NID_commonName, -1); i >= 0;
         i = X509_NAME_get_index_by_NID(subject, NID_commonName, i))
        found = i;
    if (found < 0)
        return std::nullopt;
    ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, found));
    unsigned char* utf8 = nullptr;
    const int len = ASN1_STRING_to_UTF8(&utf8, value);
    if (len < 0)
        return std::nullopt;
    std::string name(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(len));
    OPENSSL_free(utf8);
    // An empty name would leave a row with nothing to click on.
    if (name.empty())
        return std::nullopt;
    return name;
}

} // namespace

CFChooseCertificatesPanel::CFChooseCertificatesPanel(platform::IChooserDialog& dialog,
                                                     platform::ICertificateViewer& viewer)
    : m_dialog(dialog), m_viewer(viewer)
{
}

void CFChooseCertificatesPanel::setCertificates(const std::vector<std::string>& certificates)
{
    m_scr = certificates;
    m_data.clear();
    m_choose.reset();
    for (const std::string& der : m_scr)
        m_data.push_back(commonNameOf(der).value_or(kUnknownName));
}

std::string CFChooseCertificatesPanel::objectValueForRow(std::size_t row) const
{
    return row < m_data.size() ? m_data[row] : std::string();
}

void CFChooseCertificatesPanel::tableViewSelectionDidChange(std::optional<std::size_t> row)
{
    // An emptied selection, or a row that does not exist, is no choice.
    m_choose = row && *row < m_scr.size() ? row : std::nullopt;
}

void CFChooseCertificatesPanel::ontablerowclicked(std::optional<std::size_t> selectedRow)
{
    if (!selectedRow || *selectedRow >= m_scr.size())
        return;
    m_viewer.show(m_scr[*selectedRow]);
}

void CFChooseCertificatesPanel::inernalshowpanel()
{
    if (m_dialog.runModal(*this) != platform::ChooserResponse::Ok)
        m_choose.reset();
}

void CFChooseCertificatesPanel::showpanel()
{
    platform::runOnMainThread([this] { inernalshowpanel(); });
}

std::optional<std::size_t> ChooseCertificates(const std::vector<std::string>& certificates,
                                              platform::IChooserDialog& dialog,
                                              platform::ICertificateViewer& viewer)
{
    CFChooseCertificatesPanel panel(dialog, viewer);
    panel.setCertificates(certificates);
    panel.showpanel();
    return panel.choose();
}

std::optional<std::size_t> ChooseCertificates(const std::vector<std::string>& certificates)
{
    platform::GtkChooserDialog dialog;
    platform::GcrCertificateViewer viewer;
    return ChooseCertificates(certificates, dialog, viewer);
}

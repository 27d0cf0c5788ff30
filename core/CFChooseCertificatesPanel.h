#pragma once

// The certificate chooser: a modal dialog with one row per certificate,
// labelled by its common name, from which the user picks one.
//
// Certificates are given as DER byte strings; the choice is a position in
// that list, so equal certificates or equal labels still stand for
// different rows.

#include "platform/ChooserDialog.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// Owns the rows and the choice; the dialog is its view. The choice is the
// row selected last before Ok; Cancel, closing the dialog, Ok without a
// selection, or a selection emptied again give none.
class CFChooseCertificatesPanel final : private platform::IChooserTable {
public:
    CFChooseCertificatesPanel(platform::IChooserDialog& dialog, platform::ICertificateViewer& viewer);
    CFChooseCertificatesPanel(const CFChooseCertificatesPanel&) = delete;  // the dialog calls back into this one
    CFChooseCertificatesPanel& operator=(const CFChooseCertificatesPanel&) = delete;

    // One row per certificate, in order: its common name, or "unknown" when
    // it has none or the bytes are not a certificate.
    void setCertificates(const std::vector<std::string>& certificates);

    std::size_t numberOfRowsInTableView() const { return m_data.size(); }
    // The label of a row; empty for a row that does not exist.
    std::string objectValueForRow(std::size_t row) const;
    void tableViewSelectionDidChange(std::optional<std::size_t> row);
    // The double-click: shows the selected row's certificate in the viewer.
    void ontablerowclicked(std::optional<std::size_t> selectedRow);

    // Runs the dialog on the main thread and returns when it has closed.
    void showpanel();
    std::optional<std::size_t> choose() const { return m_choose; }

private:
    void inernalshowpanel();

    std::size_t numberOfRows() const override { return numberOfRowsInTableView(); }
    std::string labelOfRow(std::size_t row) const override { return objectValueForRow(row); }
    void selectionDidChange(std::optional<std::size_t> row) override { tableViewSelectionDidChange(row); }
    void rowDoubleClicked(std::optional<std::size_t> row) override { ontablerowclicked(row); }

    platform::IChooserDialog& m_dialog;
    platform::ICertificateViewer& m_viewer;
    std::optional<std::size_t> m_choose;
    std::vector<std::string> m_data;  // row labels
    std::vector<std::string> m_scr;   // the certificates, DER, in row order
};

// Shows the GTK chooser (gcr-viewer on double-click) and returns the position
// of the chosen certificate, or none. Without a display: none, after one
// line on standard output.
std::optional<std::size_t> ChooseCertificates(const std::vector<std::string>& certificates);

// The same with a dialog and viewer of the caller's (tests script these).
std::optional<std::size_t> ChooseCertificates(const std::vector<std::string>& certificates,
                                              platform::IChooserDialog& dialog,
                                              platform::ICertificateViewer& viewer);

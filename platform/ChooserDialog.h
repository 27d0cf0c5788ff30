#pragma once

// The certificate chooser's view, behind small interfaces so that the panel
// that owns the choice (core/CFChooseCertificatesPanel.h) can be driven by a
// script in tests and by GTK on a desktop.

#include <cstddef>
#include <optional>
#include <string>

namespace platform {

// How a modal chooser closed.
enum class ChooserResponse {
    Ok,         // the first button
    Cancel,     // the second button
    Closed,     // the window was closed or Escape pressed
    NoDisplay,  // there was nothing to show it on
};

// What the dialog asks of its owner: the rows to show, and what the user
// does with them. Rows are counted from 0, in the owner's order.
class IChooserTable {
public:
    virtual ~IChooserTable() = default;
    virtual std::size_t numberOfRows() const = 0;
    virtual std::string labelOfRow(std::size_t row) const = 0;
    // The selected row, or none when the selection was emptied.
    virtual void selectionDidChange(std::optional<std::size_t> row) = 0;
    // A double-click on the table, with the row selected at that moment
    // (none when no row is selected).
    virtual void rowDoubleClicked(std::optional<std::size_t> selectedRow) = 0;
};

class IChooserDialog {
public:
    virtual ~IChooserDialog() = default;
    // Shows the table modally and returns how the user closed the dialog.
    // Called on the main thread.
    virtual ChooserResponse runModal(IChooserTable& table) = 0;
};

// Shows one certificate to the user; false when no viewer could be started.
class ICertificateViewer {
public:
    virtual ~ICertificateViewer() = default;
    virtual bool show(const std::string& der) = 0;
};

// The GTK 3 dialog: the message "请选择一张证书：" over a 468 x 208 list with
// the header "证书列表：", rows in the 13-point font, white on blue when
// selected, and the buttons "Ok" and "Cancel". Without a display it prints
// one line and answers NoDisplay.
class GtkChooserDialog final : public IChooserDialog {
public:
    ChooserResponse runModal(IChooserTable& table) override;
};

// Opens the desktop's certificate viewer (gcr-viewer) on a temporary copy of
// the certificate, without waiting for it; the copy is removed when the
// viewer exits. False when the program is not installed or cannot start.
class GcrCertificateViewer final : public ICertificateViewer {
public:
    bool show(const std::string& der) override;
};

// Whether GTK can open a display (initialises GTK on first success).
bool chooserDisplayAvailable();

} // namespace platform

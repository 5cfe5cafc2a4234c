// The port selection dialog: lets the user pick one of the serial ports that exist, when the
// port component is asked to open without a port number.
//
// The dialog's logic lives here and stays free of any GUI toolkit; what the user sees is a
// view behind TComSelectView, made by the factory that the application installs
// (SetComSelectViewFactory). Without a factory the dialog cannot be shown and counts as
// cancelled.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Modal results of the dialog.
inline constexpr int mrNone = 0;
inline constexpr int mrOk = 1;
inline constexpr int mrCancel = 2;
inline constexpr int mrAbort = 3;

inline constexpr int32_t FirstProbedPort = 1;
inline constexpr int32_t LastProbedPort = 50;

// Whether serial port Number is present: it can be opened, or another program holds it.
// Probes through a bare device layer (queue sizes 64 and 64) without configuring the line or
// starting threads, and closes what it opened. Number 0 or below is never present.
bool PortExists(int32_t Number);

// The view of the dialog: the "Select Port" window with its PortsComboBox list and the OkBtn
// (modal result mrOk, 1) and AbortBtn (mrAbort, 3) buttons.
class TComSelectView {
  public:
    virtual ~TComSelectView() = default;
    // Appends an entry to the list of ports.
    virtual void AppendPort(const std::string& text) = 0;
    // Selects the entry at index; -1 selects none.
    virtual void SetSelectedIndex(int index) = 0;
    // Shows the dialog modally and returns how it was left: mrOk for OK, anything else
    // (mrAbort for Cancel, mrNone or mrCancel for the window's close button) means cancelled.
    virtual int ShowModal() = 0;
    // The text of the selected entry; empty when none is selected.
    virtual std::string SelectedText() const = 0;
};

using TComSelectViewFactory = std::function<std::unique_ptr<TComSelectView>()>;

// Installs the process-wide view factory (an empty function removes it). Main thread only.
void SetComSelectViewFactory(TComSelectViewFactory factory);

class TComSelectForm {
  public:
    // Creates the dialog and runs FormCreate: probes COM1 to COM50 with probe (PortExists
    // unless given), lists each present port as "COMn" and selects the first entry.
    explicit TComSelectForm(std::function<bool(int32_t)> probe = {});
    // Same, with an explicit view (null: none).
    TComSelectForm(std::unique_ptr<TComSelectView> view, std::function<bool(int32_t)> probe);

    // Shows the dialog modally; mrCancel when there is no view to show.
    int ShowModal();
    // The number of the selected entry, read from its text from the 4th character on: COM12
    // gives 12. With no entry selected, or a text that is not a decimal number, it raises
    // Exception with the message "'<text>' is not a valid integer value".
    int32_t SelectedPortNumber() const;
    TComSelectView* View() const { return FView.get(); }

  private:
    void FormCreate(const std::function<bool(int32_t)>& probe);

    std::unique_ptr<TComSelectView> FView;
};

// The port selection dialog as the user sees it: a Qt dialog built from the
// resources/ComSelectForm.ui form, serving as the view of the serial engine's TComSelectForm.
#pragma once

#include <QDialog>
#include <memory>
#include <string>

#include "serial/PortSelection.h"

namespace Ui {
class TComSelectForm;
}

class ComSelectView : public TComSelectView {
  public:
    explicit ComSelectView(QWidget* parent = nullptr);
    ~ComSelectView() override;

    void AppendPort(const std::string& text) override;
    void SetSelectedIndex(int index) override;
    // Runs the dialog modally: OkBtn gives mrOk, AbortBtn mrAbort, the window's close button
    // and the Escape key mrNone.
    int ShowModal() override;
    std::string SelectedText() const override;

    QDialog* Dialog() const { return FDialog.get(); }

  private:
    std::unique_ptr<QDialog> FDialog;
    std::unique_ptr<Ui::TComSelectForm> FForm;
};

// Makes ComSelectView the view of every port selection dialog from now on. Main thread.
void InstallComSelectView();

#include "app/ComSelectView.h"

#include <QComboBox>
#include <QPushButton>

#include "ui_ComSelectForm.h"

ComSelectView::ComSelectView(QWidget* parent)
    : FDialog(std::make_unique<QDialog>(parent)), FForm(std::make_unique<Ui::TComSelectForm>()) {
    FForm->setupUi(FDialog.get());
    // A fixed dialog frame with only the system menu and its close button.
    FDialog->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    FDialog->setFixedSize(FDialog->size());
    QDialog* dialog = FDialog.get();
    QObject::connect(FForm->OkBtn, &QPushButton::clicked, dialog, [dialog] { dialog->done(mrOk); });
    QObject::connect(FForm->AbortBtn, &QPushButton::clicked, dialog,
                     [dialog] { dialog->done(mrAbort); });
}

ComSelectView::~ComSelectView() = default;

void ComSelectView::AppendPort(const std::string& text) {
    FForm->PortsComboBox->addItem(QString::fromStdString(text));
}

void ComSelectView::SetSelectedIndex(int index) { FForm->PortsComboBox->setCurrentIndex(index); }

int ComSelectView::ShowModal() {
    // QDialog::Rejected (0) is how the close button and Escape leave: mrNone, not OK.
    return FDialog->exec();
}

std::string ComSelectView::SelectedText() const {
    if (FForm->PortsComboBox->currentIndex() < 0) return {};
    return FForm->PortsComboBox->currentText().toStdString();
}

void InstallComSelectView() {
    SetComSelectViewFactory([] { return std::make_unique<ComSelectView>(); });
}

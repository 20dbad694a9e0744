#include "app/windows/AlertBox.h"

#include <QTextDocument>

namespace tallowin {

QMessageBox* openAlertBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& message)
{
    auto* box = new QMessageBox(parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setIcon(icon);
    box->setWindowTitle(title);
    box->setTextFormat(Qt::PlainText);
    box->setText(title);
    // The informative text guesses its format; text that might pass for markup is handed
    // over already converted, so it shows exactly as written.
    box->setInformativeText(Qt::mightBeRichText(message) ? Qt::convertFromPlainText(message) : message);
    return box;
}

}

#pragma once

#include <QMessageBox>
#include <QString>

namespace tallowin {

// A notice or question over the window, as both windows show them: window-modal and opened,
// never exec()'d, so that the event loop keeps serving the network while it is up. The box
// deletes itself when closed. The message is shown as plain text even when it looks like
// markup (it may be a service's own words).
QMessageBox* openAlertBox(QWidget* parent, QMessageBox::Icon, const QString& title, const QString& message);

}

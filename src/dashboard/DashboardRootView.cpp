#include "dashboard/DashboardRootView.h"

#include <QLabel>
#include <QVBoxLayout>

namespace tallowin {

DashboardRootView::DashboardRootView(Dependencies dependencies, QWidget* parent)
    : QWidget(parent)
    , m_dependencies(std::move(dependencies))
{
    // A missing model object is a programming error, not a state the window can show.
    if (!m_dependencies.monitor || !m_dependencies.performanceTester || !m_dependencies.mainQueue)
        qFatal("DashboardRootView needs a monitor, a performance tester and a main queue");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Tallowin"), this));
}

DashboardRootView::~DashboardRootView() = default;

}

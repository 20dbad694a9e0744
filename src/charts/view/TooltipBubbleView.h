#pragma once

#include <QFont>
#include <QSizeF>
#include <QString>
#include <QWidget>

namespace tallowin {

// The hover tooltip: two lines in a black rounded bubble with a white outline and a soft shadow.
// It measures its own text, takes no pointer input and is placed by the canvas.
class TooltipBubbleView : public QWidget {
    Q_OBJECT

public:
    static constexpr double padding = 12;
    static constexpr double lineSpacing = 6;
    static constexpr double cornerRadius = 12;

    TooltipBubbleView(QFont unifiedFont, QWidget* parent = nullptr);

    void setLines(QString primaryLine, QString secondaryLine);
    const QString& primaryLine() const { return m_primaryLine; }
    const QString& secondaryLine() const { return m_secondaryLine; }
    // The bubble's size for the current lines, padding included.
    QSizeF measuredSize() const { return m_measuredSize; }
    static QSizeF measure(const QFont&, const QString& primaryLine, const QString& secondaryLine);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QFont m_unifiedFont;
    QString m_primaryLine;
    QString m_secondaryLine;
    QSizeF m_measuredSize;
};

}

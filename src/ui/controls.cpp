#include "ui/controls.h"

#include <QEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

#include <algorithm>

namespace brivane {

ShapeControl::ShapeControl(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
}

void ShapeControl::setBackgroundColour(const QColor& colour) {
    if (colour == m_background)
        return;
    m_background = colour;
    update();
}

void ShapeControl::setOpaque(bool opaque) {
    m_opaque = opaque;
    update();
}

void ShapeControl::setBorderColour(const QColor& colour) {
    m_border = colour;
    update();
}

void ShapeControl::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (m_opaque)
        painter.fillRect(rect(), m_background);
    painter.setPen(QPen(m_border, 1));
    painter.setBrush(Qt::NoBrush);
    // A QRect outline covers width + 1 pixels; keep it inside the bounds.
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

LineControl::LineControl(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
}

void LineControl::setPoints(const QPoint& from, const QPoint& to) {
    m_from = from;
    m_to = to;
    const QPoint topLeft(std::min(from.x(), to.x()), std::min(from.y(), to.y()));
    const QPoint bottomRight(std::max(from.x(), to.x()), std::max(from.y(), to.y()));
    setGeometry(QRect(topLeft, bottomRight));
    update();
}

void LineControl::setColour(const QColor& colour) {
    m_colour = colour;
    update();
}

void LineControl::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(QPen(m_colour, 1));
    const QPoint origin = pos();
    painter.drawLine(m_from - origin, m_to - origin);
}

void PressButton::mousePressEvent(QMouseEvent* event) {
    // The base class shows the left button pressed and ignores the others.
    QPushButton::mousePressEvent(event);
    event->accept();
    emit mouseDown(event->button(), event->modifiers());
}

void ReleaseSlider::mousePressEvent(QMouseEvent* event) {
    QSlider::mousePressEvent(event);
    // Keep every button's press, so its release comes back here wherever it happens.
    event->accept();
    m_pressed |= event->button();
}

void ReleaseSlider::mouseReleaseEvent(QMouseEvent* event) {
    QSlider::mouseReleaseEvent(event);
    event->accept();
    if (!m_pressed.testFlag(event->button()))
        return;
    m_pressed &= ~Qt::MouseButtons(event->button());
    // Reported wherever the pointer is: a drag that overshoots the groove has still moved the value.
    emit mouseUp(event->button(), event->modifiers());
}

void ClickablePicture::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        m_leftDown = true;
        event->accept();
        return;
    }
    QLabel::mousePressEvent(event);
}

void ClickablePicture::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QLabel::mouseReleaseEvent(event);
        return;
    }
    event->accept();
    const bool wasDown = m_leftDown;
    m_leftDown = false;
    if (wasDown && rect().contains(event->position().toPoint()))
        emit clicked();
}

bool ComboEnterGuard::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter)
            return event->type() == QEvent::KeyPress;
    }
    return QObject::eventFilter(watched, event);
}

bool BeforeEvent::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == m_type)
        m_run();
    return QObject::eventFilter(watched, event);
}

bool EnterClicks::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        auto* button = qobject_cast<QPushButton*>(watched);
        if (button != nullptr && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) {
            if (!key->isAutoRepeat())
                button->click();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

void centreOnScreen(QWidget& window) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return;
    const QRect area = screen->availableGeometry();
    const QRect frame = window.frameGeometry();
    window.move(area.x() + (area.width() - frame.width()) / 2,
                area.y() + (area.height() - frame.height()) / 2);
}

bool CentreOnFirstShow::eventFilter(QObject* watched, QEvent* event) {
    if (!m_done && event->type() == QEvent::Show && watched->isWidgetType()) {
        m_done = true;
        centreOnScreen(*static_cast<QWidget*>(watched));
    }
    return QObject::eventFilter(watched, event);
}

} // namespace brivane

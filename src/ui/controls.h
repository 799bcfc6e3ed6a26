#pragma once

#include <QColor>
#include <QEvent>
#include <QLabel>
#include <QPoint>
#include <QPushButton>
#include <QSlider>
#include <QWidget>

#include <functional>

namespace brivane {

// Rectangle shape: background colour (opaque or transparent) and a one-pixel outline drawn inside
// its bounds. Purely graphical: mouse events go to whatever lies beneath.
class ShapeControl : public QWidget {
    Q_OBJECT
public:
    explicit ShapeControl(QWidget* parent = nullptr);

    void setBackgroundColour(const QColor& colour);
    QColor backgroundColour() const { return m_background; }
    void setOpaque(bool opaque);
    bool isOpaque() const { return m_opaque; }
    void setBorderColour(const QColor& colour);
    QColor borderColour() const { return m_border; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_background = Qt::white;
    QColor m_border = Qt::black;
    bool m_opaque = false;
};

// Straight one-pixel line between two points of the parent, both ends included.
class LineControl : public QWidget {
    Q_OBJECT
public:
    explicit LineControl(QWidget* parent = nullptr);

    // Places the widget over the two points (parent coordinates).
    void setPoints(const QPoint& from, const QPoint& to);
    QPoint from() const { return m_from; }
    QPoint to() const { return m_to; }
    void setColour(const QColor& colour);
    QColor colour() const { return m_colour; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPoint m_from;
    QPoint m_to;
    QColor m_colour = Qt::black;
};

// Push button that acts when a mouse button goes down on it (any button, any modifiers). Space and
// Enter still press it visually but raise no mouseDown.
class PressButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;
signals:
    void mouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers);

protected:
    void mousePressEvent(QMouseEvent* event) override;
};

// Slider that reports the release of a mouse button that went down on it (any button), after the
// slider has taken its final value. Dragging and keyboard moves report nothing.
class ReleaseSlider : public QSlider {
    Q_OBJECT
public:
    using QSlider::QSlider;
signals:
    void mouseUp(Qt::MouseButton button, Qt::KeyboardModifiers modifiers);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    Qt::MouseButtons m_pressed;
};

// Picture box that reports a left-button click: pressed and released over it.
class ClickablePicture : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool m_leftDown = false;
};

// Installed on an editable combo box's field: Enter in the field does nothing, so a typed text that
// matches an item never counts as a choice from the list (Qt would raise activated for it).
class ComboEnterGuard : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// Installed on a widget: runs a function just before the widget handles an event of one type (a
// tool tip, the showing of a combo box's list), so what it shows can be brought up to date first.
class BeforeEvent : public QObject {
    Q_OBJECT
public:
    BeforeEvent(QObject* parent, QEvent::Type type, std::function<void()> run)
        : QObject(parent), m_type(type), m_run(std::move(run)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QEvent::Type m_type;
    std::function<void()> m_run;
};

// Installed on a push button that acts on click: Enter on the focused button clicks it, as Space
// does (Qt leaves Enter to dialogs' default buttons).
class EnterClicks : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// Places a top-level window so that its frame is centred on the primary screen's available area.
void centreOnScreen(QWidget& window);

// Centres the window it watches once more when it is first shown, when the frame size is known.
class CentreOnFirstShow : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool m_done = false;
};

} // namespace brivane

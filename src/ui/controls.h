#pragma once

#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QWidget>

namespace brivane {

// Rectangle shape: background colour and outline.
class ShapeControl : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
};

// Straight line between two points.
class LineControl : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
};

// Push button that acts when a mouse button goes down on it (any button, any modifiers).
class PressButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;
signals:
    void mouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers);
};

// Slider that reports a mouse button released over it; keyboard moves report nothing.
class ReleaseSlider : public QSlider {
    Q_OBJECT
public:
    using QSlider::QSlider;
signals:
    void mouseUp(Qt::MouseButton button, Qt::KeyboardModifiers modifiers);
};

// Picture box that reports a click.
class ClickablePicture : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
signals:
    void clicked();
};

} // namespace brivane

#pragma once

#include "alpaca/panel_calibrator.h"
#include "ui/controls.h"
#include "ui/form1.h"

namespace brivane {

// The Alpaca server beside the window drives the window's COMM and slider, so the lamps, the
// read-out and the slider show what a client does.
class WindowPanelSeat : public PanelSeat {
public:
    explicit WindowPanelSeat(Form1& window) : m_window(window) {}
    COMM& comm() override { return m_window.comm(); }
    int level() const override { return m_window.Slider1(0)->value(); }
    void setLevel(int level) override { m_window.Slider1(0)->setValue(level); }
    void release() override {} // the window keeps its port

private:
    Form1& m_window;
};

} // namespace brivane

// Panel drive controls, connect/disconnect, start-up and shutdown, settings file, always-on-top.
#include "ui/form1.h"

namespace brivane {

void Form1::Form_Load() {}
void Form1::Form_Unload() {}
void Form1::Timer1_Timer() {}
void Form1::Command1_Click() {}
void Form1::Command2_MouseDown(int, Qt::MouseButton, Qt::KeyboardModifiers) {}
void Form1::Command3_Click(int) {}
void Form1::Command4_Click() {}
void Form1::Command7_Click() {}
void Form1::Command9_Click(int) {}
void Form1::Slider1_MouseUp(int, Qt::MouseButton, Qt::KeyboardModifiers) {}
void Form1::Combo1_Click() {}
void Form1::load_comm() {}
void Form1::Save_comm(const QString&) {}

} // namespace brivane

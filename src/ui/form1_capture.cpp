// Flat capture handlers: measurement, abort, flat series, save-folder chooser.
#include "ui/form1.h"

namespace brivane {

void Form1::Command5_Click(int) {}
void Form1::Picture1_Click() {}

} // namespace brivane

// libindidriver supplies main() and the event loop; they serve every device constructed here.
#include "indi_driver/panel_driver.h"

namespace {

brivane::PanelDriver driver;

} // namespace

// A link source reaching up into the window: check-layers must refuse it.
#include "link/comm.h"
#include "ui/form1.h"

#pragma once
#include "link/comm.h"

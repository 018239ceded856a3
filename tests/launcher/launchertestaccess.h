#pragma once

// The window test access, and the overlay class the window tests look at.

#include "launcher/launcherupdatertestaccess.h"
#include "widgets/darkoverlay.h"

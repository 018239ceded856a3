#pragma once

// The window test access, for the game-resource, extraction and game tests.

#include "launcher/launcherupdatertestaccess.h"

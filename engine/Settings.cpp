#include "engine/Settings.h"

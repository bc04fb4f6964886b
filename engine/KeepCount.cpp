#include "engine/KeepCount.h"

#include "platform/RunLock.h"

#include "engine/OperationLog.h"

#include "platform/Database.h"

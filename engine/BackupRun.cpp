#include "engine/BackupRun.h"

#include "engine/BackupRecordStore.h"

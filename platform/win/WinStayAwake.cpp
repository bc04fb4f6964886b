#include <windows.h>

#include "platform/StayAwake.h"

namespace vantrel {

// The system stays awake while the state is set; the display may still go dark.
StayAwake::StayAwake() {
    SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
}

StayAwake::~StayAwake() {
    SetThreadExecutionState(ES_CONTINUOUS);
}

}  // namespace vantrel

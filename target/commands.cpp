#include "target/commands.h"

#include "com/com.h"

uint32_t TARGET_PortIdentifyTimeout() {
    COM_CONFIG config = {};
    COM_GetConfig(&config);
    return TARGET_IdentifyTimeout(config.baud_rate);
}

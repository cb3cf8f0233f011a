// Never built by default: the layer_violation_fails test compiles it with the include root of the
// rtp folder and expects the compiler to refuse the include of a higher layer below.
#include "channels/base_rtp_channel.h"

// The composition core's types and ComposeMessage, by the path owners have
// always included beside the component's header.
#pragma once

#include "mime/compose.h"

// The reference frame syntaxes (referencesyntax.cpp): one frame body from
// the decoder's read position, every decoded value kept in its band arrays.
#pragma once

#include "decoder/framedecoder.h"

namespace velkscan {

// Stream version 7 (and 23).
void ParseFrameSv7(FrameDecoder& d);
// Stream versions 4 to 6.
void ParseFrameSv46(FrameDecoder& d);

}  // namespace velkscan

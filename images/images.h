// The suite's pictures as XPM data: the TFTP icon (the letters over two gear wheels)
// in 32 and 16 pixels, the service symbols, the event log's note pad (also in 16 pixels)
// and the product picture. The same files become the .ico and .bmp resources of the Windows build
// (see xpm2win).
#pragma once

namespace kvimg {

extern const char* const* const kTftpGears32;
extern const char* const* const kTftpGears16;
extern const char* const* const kStop32;
extern const char* const* const kStart32;
extern const char* const* const kPause32;
extern const char* const* const kResume32;
extern const char* const* const kNotepad32;
extern const char* const* const kNotepad16;
extern const char* const* const kProduct160x80;

}  // namespace kvimg

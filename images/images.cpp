#include "images.h"

#include "notepad_16.xpm"
#include "notepad_32.xpm"
#include "pause_32.xpm"
#include "product_160x80.xpm"
#include "resume_32.xpm"
#include "start_32.xpm"
#include "stop_32.xpm"
#include "tftp_gears_16.xpm"
#include "tftp_gears_32.xpm"

namespace kvimg {

const char* const* const kTftpGears32 = tftp_gears_32_xpm;
const char* const* const kTftpGears16 = tftp_gears_16_xpm;
const char* const* const kStop32 = stop_32_xpm;
const char* const* const kStart32 = start_32_xpm;
const char* const* const kPause32 = pause_32_xpm;
const char* const* const kResume32 = resume_32_xpm;
const char* const* const kNotepad32 = notepad_32_xpm;
const char* const* const kNotepad16 = notepad_16_xpm;
const char* const* const kProduct160x80 = product_160x80_xpm;

}  // namespace kvimg

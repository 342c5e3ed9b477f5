// The one UploadContext of the process, shared by the engine on the reader
// thread and the tick, the dialogs and the port code on the user-interface
// thread.
#include "upload/upload.h"

UploadContext upload;

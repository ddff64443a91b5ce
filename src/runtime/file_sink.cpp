#include "runtime/file_sink.h"

namespace mirl {

int64_t FileSink::WriteFilled(int64_t length, FillFunction fill, char* scratch) {
    fill(scratch, static_cast<int32_t>(length));
    return Write(scratch, length);
}

void FileSink::Finish() {
    // The wait goes in steps only so that a long one is no single blocked call.
    while (!Settle(0, true, 1000)) {
    }
}

} // namespace mirl

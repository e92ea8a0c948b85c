// Makes Tolvek_large an engine of about 8 MiB: the stand-in's code (under 1 MiB) with 7.25 MiB of
// constant data. The first byte is not zero, so the whole array lies in the file rather than in
// zero-filled memory.
extern "C" __attribute__((used)) const unsigned char kStandInPadding[(7 * 1024 + 256) * 1024] = {1};

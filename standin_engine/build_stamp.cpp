// Makes Tolvek_rebuilt a build of its own: the stand-in's code with one more constant, so its
// file differs from Tolvek.dll while it behaves the same.
extern "C" __attribute__((used)) const char kStandInBuildStamp[] = "stand-in engine, second build";

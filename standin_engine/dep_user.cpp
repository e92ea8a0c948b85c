// Makes Tolvek_withdep import EngineDep_Answer from EngineDep.dll: the system must find that DLL
// whenever it loads this engine.
extern "C" __declspec(dllimport) int EngineDep_Answer();

extern "C" __attribute__((used)) int StandIn_DependencyAnswer() {
    return EngineDep_Answer();
}

// The simulated audio stack as a stand-in for Windows' mmdevapi.dll, which Wine loads in place of
// its own (WINEDLLOVERRIDES "mmdevapi=n") so that the unchanged exe can capture from it. Its
// settings come from OAH_DOUBLE (see fake_audio.h). At exit OAH_DOUBLE_LOG (a Windows path) gets
// every mismatch with the platform's rules, "positions asked" when GetBuffer was asked for packet
// positions, what is still held ("outstanding ...") and
// "exit frames=<released> outstanding=<n> polls=<packet-size calls> runtime=<first Start to last
// Stop> started=<the counter at the first Start> gap=<the longest time without a client's
// packets between two clients>" (times in 100-ns units).
#include <cstdio>
#include <cstdlib>

#include "fake_audio.h"

namespace {

// COM keeps the factory as long as it likes, so it is never freed.
struct Factory final : IClassFactory {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        const bool known = IsEqualIID(iid, IID_IClassFactory) || IsEqualIID(iid, IID_IUnknown);
        *out = known ? this : nullptr;
        return known ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        return fakeCreateInstance(__uuidof(MMDeviceEnumerator), outer, CLSCTX_ALL, iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
} g_factory;

void writeReport() {
    const char* path = std::getenv("OAH_DOUBLE_LOG");
    std::FILE* log = path ? std::fopen(path, "a") : nullptr;
    if (log == nullptr) return;
    for (const std::string& line : fakeAudioLog())
        if (line.rfind("mismatch", 0) == 0 || line == "positions asked")
            std::fprintf(log, "%s\n", line.c_str());
    const std::vector<std::string> held = fakeAudioOutstanding();
    for (const std::string& what : held) std::fprintf(log, "outstanding %s\n", what.c_str());
    std::fprintf(log,
                 "exit frames=%llu outstanding=%zu polls=%llu runtime=%llu started=%llu gap=%llu\n",
                 fakeAudioFrames(), held.size(), fakeAudioPolls(), fakeAudioRunTime(),
                 fakeAudioStartedAt(), fakeAudioGap());
    std::fclose(log);
}

}  // namespace

extern "C" HRESULT WINAPI
doubleActivateAudioInterfaceAsync(LPCWSTR path, REFIID iid, PROPVARIANT* params,
                                  IActivateAudioInterfaceCompletionHandler* handler,
                                  IActivateAudioInterfaceAsyncOperation** operation) {
    return fakeActivateAudioInterfaceAsync(path, iid, params, handler, operation);
}

extern "C" HRESULT WINAPI doubleDllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    *out = nullptr;
    const bool ours = IsEqualCLSID(clsid, __uuidof(MMDeviceEnumerator));
    return ours ? g_factory.QueryInterface(iid, out) : CLASS_E_CLASSNOTAVAILABLE;
}
// Registration has nothing to do, and the DLL stays loaded: COM may keep the factory cached.
extern "C" HRESULT WINAPI doubleDllNothingToDo() {
    return S_FALSE;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH)
        resetFakeAudio(std::getenv("OAH_DOUBLE") ? std::getenv("OAH_DOUBLE") : "");
    if (reason == DLL_PROCESS_DETACH) writeReport();
    return TRUE;
}

// A simulated Windows audio stack: the device enumerator, four endpoints, audio and capture
// clients and process-loopback activation, each call answering as its settings say and
// checking the platform's rules as it goes. The Windows tests reach it through a capture run's
// entry points; audio_double_dll.cpp wraps it as a stand-in mmdevapi.dll for the unchanged exe,
// because Wine's own audio stack has no loopback capture.
//
// Settings are directives separated by ";":
//   mix=HEX, loopmix=HEX  the endpoint's and the process-loopback client's mix format as the bytes
//       of its WAVEFORMATEX(TENSIBLE), or notimpl (E_NOTIMPL, the loopback client's default, as on
//       every Windows build seen) or null (S_OK without a format); the endpoint's default is
//       float stereo at 48000
//   packets=FRAMES[/FLAGS][@MS] ...  what the capture client hands out in turn; 0 frames is a poll
//       that finds nothing; flag 0x100 hands out a null data pointer. A packet's position (the
//       counter GetBuffer gives) is MS milliseconds after Start, or where the one before ended
//   data=HEX  the audio bytes, repeated; by default byte k of all audio handed out is k mod 256
//   after=repeat  start the packets over instead of idling;  pace=real  no packet before its end
//   complete=sync|never|MS  the activation's completion: before the call returns, never, or on a
//       thread of ours after MS milliseconds (default 0)
//   fail=CALL#N=0xSTATUS|noclient  the N-th call of CALL fails (ActivateResult: the activation's
//       result, or an object that is no audio client; GetValue: 0x0 is S_OK without a value;
//       GetBuffer: 0x08890001, AUDCLNT_S_BUFFER_EMPTY, finds nothing);
//       fail= may come more than once
//   devicechange=N,FLOW,ROLE  once the N-th packet is released, OnDefaultDeviceChanged on every
//       registered callback, before ReleaseBuffer returns
//   moves=MS:NAME ...  MS milliseconds after the first Start, the default output becomes NAME
//       (speakers, headset, handsfree, surround, or none), told to every registered callback
//       once for each role, from a thread of ours; each client replays packets= from the start
//   tone=HZ  each client plays a sine in its own format instead of data=, at half scale on the
//       first channel and a quarter on the others
//
// The endpoints, in the order the enumerator lists them, with their ids (the last two are present
// only once the default has moved to them):
//   {0.0.0.00000000}.{headset}     render, active, float stereo at 96000, a name with a quote, a
//                                  backslash and characters outside ASCII and the BMP
//   {0.0.0.00000000}.{speakers}    render, active, the default; the mix= format
//   {0.0.1.00000000}.{microphone}  capture, active: no loopback stream
//   {0.0.0.00000000}.{hdmi}        render, unplugged: GetDevice finds it, Activate fails
//   {0.0.0.00000000}.{handsfree}   render, 16-bit mono at 16000, "Headset (Hands-Free)"
//   {0.0.0.00000000}.{surround}    render, float 5.1 at 44100, no name
#pragma once

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Forgets the last run and takes new settings.
void resetFakeAudio(const std::string& directives);

// Called, on the run's thread, by every poll once the packets are all handed out (and not
// repeated): an in-process test stops its run there.
void onFakeAudioDrained(std::function<void()> drained);

// The system's two entry points into the stack.
HRESULT WINAPI fakeCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                                  void** out);
HRESULT WINAPI fakeActivateAudioInterfaceAsync(LPCWSTR path, REFIID iid, PROPVARIANT* params,
                                               IActivateAudioInterfaceCompletionHandler* handler,
                                               IActivateAudioInterfaceAsyncOperation** operation);

// What the tests look at: "activate ..." and "init ..." lines with the calls' arguments,
// "register"/"unregister", "positions asked" once GetBuffer was asked for a position, and
// "mismatch ..." for every call against the platform's rules (and for a client stopped while a
// packet it announced was never asked for: that audio is lost).
std::vector<std::string> fakeAudioLog();
// Once our completion threads are done: what the run still holds (interfaces, registered callbacks,
// task memory we handed out), one line each.
std::vector<std::string> fakeAudioOutstanding();
// Frames handed back through ReleaseBuffer, and GetNextPacketSize calls.
unsigned long long fakeAudioFrames();
unsigned long long fakeAudioPolls();
// From Start to Stop, and the counter at Start, in 100-ns units.
unsigned long long fakeAudioRunTime();
unsigned long long fakeAudioStartedAt();
// The longest time from a stopped client's last packet to the first packet of the next client.
unsigned long long fakeAudioGap();

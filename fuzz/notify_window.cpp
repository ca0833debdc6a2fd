// SPDX-License-Identifier: MIT
// The notification window's procedure fed arbitrary message triples: real and forged
// socket notifications (any event, any error, any handle), lookup completions for
// lookups that run, ran or never were, and messages of other numbers, posted to the
// window while a listener, a connected pair, an accepted connection and a lookup are
// alive. Nothing may crash, trip a sanitizer or stay behind once the objects go.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/FuzzSupport.h"
#include "fuzz/Scene.h"
#include "inet/cSocket/MSocketSupport.h"
#include "platform/MessageLoop.h"
#include "platform/Window.h"

namespace {

using fuzz::Scene;
namespace MS = inet::MSocketSupport;

// Slot 0 listens, slot 1 connects to it, slot 2 adopts the connection, slot 3 is
// resolving a name.
void SetTheScene(Scene& scene, FuzzedDataProvider& in) {
    for (size_t i = 0; i < Scene::kSlots; ++i) scene.Make(i, static_cast<Scene::Handler>(in.ConsumeIntegralInRange(0, 3)));
    scene.Slot(0)->Bind(0, "127.0.0.1");
    scene.Slot(0)->Listen();
    scene.Slot(1)->Connect("127.0.0.1", inet::Variant(scene.PortToConnect(1)));
    // The listener's request is adopted by slot 2, the first without a socket.
    fuzz::PumpUntil([&] { return scene.Slot(2)->SocketHandle() != -1; }, std::chrono::seconds(5));
    scene.Slot(3)->Connect(Scene::kPeerName, inet::Variant(scene.PortToConnect(3)));
}

platform::LPARAM Notification(FuzzedDataProvider& in) {
    static constexpr uint16_t kEvents[] = {1, 2, 8, 16, 32};
    static constexpr uint16_t kErrors[] = {0, 0, 0, 10053, 10054, 10060, 10061, 11001, 32767, 32768, 65535};
    if (in.ConsumeBool()) return in.ConsumeIntegral<uint32_t>();
    return platform::MAKELONG(in.PickValueInArray(kEvents), in.PickValueInArray(kErrors));
}

platform::WPARAM Handle(Scene& scene, FuzzedDataProvider& in) {
    if (in.ConsumeIntegralInRange(0, 7) == 0) return in.ConsumeIntegral<uint32_t>();
    const auto& s = scene.Slot(in.ConsumeIntegralInRange<size_t>(0, Scene::kSlots - 1));
    return s ? static_cast<platform::WPARAM>(s->SocketHandle()) : static_cast<platform::WPARAM>(-1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Scene scene;
    FuzzedDataProvider in(data, size);
    try {
        SetTheScene(scene, in);
    } catch (const inet::SocketError& e) {
        fuzz::Fail("setting the scene failed: " + e.Description());
    }
    while (in.remaining_bytes() > 0) {
        const platform::HWND window = MS::NotifyWindow();
        platform::UINT msg;
        platform::WPARAM wParam;
        switch (in.ConsumeIntegralInRange(0, 3)) {
            case 0:
            case 1:
                msg = MS::WinsockMessage();
                wParam = Handle(scene, in);
                break;
            case 2:
                msg = MS::ResolveMessage();
                wParam = in.ConsumeIntegralInRange<uint32_t>(0, 4096);  // lookup handles are small and counted up
                break;
            default:
                msg = in.ConsumeIntegral<uint32_t>();
                wParam = in.ConsumeIntegral<uint32_t>();
                break;
        }
        const platform::LPARAM lParam = Notification(in);
        if (in.ConsumeBool()) {
            platform::PostMessageA(window, msg, wParam, lParam);
            fuzz::PumpReady();
        } else if (window != 0) {
            MS::NotifyWindowProc(window, msg, wParam, lParam);
        }
    }
    fuzz::PumpReady();
    return 0;
}

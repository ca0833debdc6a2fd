// SPDX-License-Identifier: MIT
// The process-wide services behind every socket object: Windows Sockets start-up and
// shutdown, the hidden window that receives every socket notification and lookup
// completion, the registry that routes a notification to its socket object,
// asynchronous host lookups, the error texts and a few conversions.
//
// Everything runs on the thread that pumps the message loop. The registry and the
// lookup table hold their objects by weak reference: they never keep one alive, and
// a dispatch holds its object only while the object's entry point runs.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "inet/cSocket/NotificationTarget.h"
#include "inet/cSocket/SocketError.h"
#include "platform/WinTypes.h"

namespace inet::MSocketSupport {

// ---- Error texts and conversions -------------------------------------------------

// The one-line description of a Windows Sockets error code; "Unknown error." for
// every code the table does not list.
std::string SocketErrorText(int32_t code);
// 0..65535 to the signed 16-bit form of a port; error 6 outside that range.
int16_t     LongToPortWord(int32_t value);
// The unsigned reading of a 16-bit port word: -1 gives 65535.
int32_t     PortWordToLong(int16_t value);
// A copy of a NUL-terminated text; nullptr gives "".
std::string AnsiPointerToString(const char* text);
int32_t     LowWordOf(int32_t value);    // value AND 0xFFFF
int32_t     HighWordOf(int32_t value);   // the upper 16 bits, unsigned

// ---- Service -------------------------------------------------------------------

// Starts Windows Sockets unless this module already has; returns the largest UDP
// datagram. Raises the start-up failure (source "MSocketSupport.InitWinsockService").
int32_t     InitWinsockService();
// Stops Windows Sockets when no socket handle is registered.
void        StopWinsockService();

// ---- Notification window -------------------------------------------------------

// Creates the hidden window and puts NotifyWindowProc in as its procedure; 0 on failure.
platform::HWND CreateNotifyWindow();
// Gives the window its first procedure back and destroys it; false if that failed.
bool           DestroyNotifyWindow();
// The window procedure: socket notifications to their objects, lookup completions
// to the lookup's object, everything else to the previous procedure.
platform::LRESULT CALLBACK NotifyWindowProc(platform::HWND hwnd, platform::UINT msg, platform::WPARAM wParam,
                                            platform::LPARAM lParam);

// ---- Socket registry -----------------------------------------------------------

// Enters the handle and asks for its read, write, accept, connect and close
// notifications. On false the error is left (LastError) and nothing stays registered.
bool RegisterSocket(int32_t handle, std::weak_ptr<NotificationTarget> owner);
// Stops the handle's notifications and forgets it; false when there was nothing to do.
// A handle that is not registered raises error 5 (source "MSocketSupport.UnregisterSocket").
bool UnregisterSocket(int32_t handle);
// Gives a registered handle's notifications to another owner from now on (those
// already queued included); false when the handle is not registered.
bool HandOverSocket(int32_t handle, std::weak_ptr<NotificationTarget> owner);
// A counted reference to a registered object; empty when the object has ended.
std::shared_ptr<NotificationTarget> SocketFromPointer(const std::weak_ptr<NotificationTarget>& address);

// ---- Host lookup ---------------------------------------------------------------

// Starts resolving `hostName` for `owner`; returns the lookup handle, or 0 when no
// lookup runs (the error, if the request itself failed, is left in LastError).
int32_t ResolveHost(const std::string& hostName, std::weak_ptr<NotificationTarget> owner);
// The lookup's completion reaches nobody from now on (its object started anew); the
// lookup itself runs to its end, which releases what it holds. An unknown handle is
// ignored.
void ForgetLookup(int32_t lookupHandle);

// ---- State, for hosts and tests ------------------------------------------------

// The error left by the last RegisterSocket or ResolveHost that failed with one.
const std::optional<SocketError>& LastError();
bool           WinsockStarted();
platform::HWND NotifyWindow();
platform::UINT WinsockMessage();
platform::UINT ResolveMessage();
int32_t        RegisteredSocketCount();
bool           IsRegistered(int32_t handle);
int32_t        OutstandingLookupCount();

}  // namespace inet::MSocketSupport

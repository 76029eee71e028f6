// Events and task priority levels. Notify functions are queued when their event
// is signalled and run as soon as the current level drops below theirs, highest
// level first, in signal order within a level. Code at TPL_APPLICATION that
// installs a watched protocol therefore sees the notify run inside the call,
// while a notify function that installs one (it runs at its own level) sees the
// second notify run only after it returns.
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

#include "sim/sim.h"
#include "sim/sim_internal.h"

namespace sim {
namespace {

struct Event {
  UINT32 Type;
  EFI_TPL NotifyTpl;
  EFI_EVENT_NOTIFY Notify;
  void *Context;
  bool Closed = false;
  bool Queued = false;    // its notify function waits to run
  bool Signaled = false;  // for CheckEvent
};

constexpr UINT32 KnownEventTypes = EVT_TIMER | EVT_RUNTIME | EVT_NOTIFY_WAIT | EVT_NOTIFY_SIGNAL;

struct EventState {
  // Events are kept until the next start, closed or not, so that a closed
  // event's address is never reused for a new one and stays recognisable.
  std::vector<std::unique_ptr<Event>> All;
  std::unordered_map<EFI_EVENT, Event *> ByHandle;
  std::deque<Event *> Pending;
  EFI_TPL Tpl = TPL_APPLICATION;
};

EventState &Events() {
  static EventState State;
  return State;
}

Event *OpenEvent(EFI_EVENT Handle) {
  auto Found = Events().ByHandle.find(Handle);
  if (Found == Events().ByHandle.end() || Found->second->Closed) return nullptr;
  return Found->second;
}

bool IsNotifyTpl(EFI_TPL Tpl) { return Tpl == TPL_CALLBACK || Tpl == TPL_NOTIFY; }

// The pending event of the highest level above the current one, or null.
Event *NextDispatchable() {
  EventState &S = Events();
  auto Best = S.Pending.end();
  for (auto It = S.Pending.begin(); It != S.Pending.end(); ++It)
    if ((*It)->NotifyTpl > S.Tpl && (Best == S.Pending.end() || (*It)->NotifyTpl > (*Best)->NotifyTpl))
      Best = It;
  if (Best == S.Pending.end()) return nullptr;
  Event *E = *Best;
  S.Pending.erase(Best);
  return E;
}

void RunNotify(Event *E) {
  EventState &S = Events();
  EFI_TPL Previous = S.Tpl;
  S.Tpl = E->NotifyTpl;
  {
    internal::ForeignCode Notify;
    E->Notify(E, E->Context);
  }
  S.Tpl = Previous;
}

void DispatchPending() {
  while (Event *E = NextDispatchable()) {
    E->Queued = false;
    RunNotify(E);
  }
}

void Unqueue(Event *E) {
  std::deque<Event *> &Pending = Events().Pending;
  for (auto It = Pending.begin(); It != Pending.end(); ++It)
    if (*It == E) {
      Pending.erase(It);
      break;
    }
  E->Queued = false;
}

}  // namespace

EFI_TPL CurrentTpl() { return Events().Tpl; }

std::size_t OpenEventCount() {
  std::size_t Count = 0;
  for (const auto &E : Events().All) Count += E->Closed ? 0 : 1;
  return Count;
}

namespace internal {

void ResetEvents() {
  EventState &S = Events();
  S.Pending.clear();
  S.ByHandle.clear();
  S.All.clear();
  S.Tpl = TPL_APPLICATION;
}

bool IsOpenEvent(EFI_EVENT Handle) { return OpenEvent(Handle) != nullptr; }

void SignalOpenEvent(EFI_EVENT Handle) {
  Event *E = OpenEvent(Handle);
  if (E == nullptr) return;
  if ((E->Type & EVT_NOTIFY_SIGNAL) == 0) {
    E->Signaled = true;
    return;
  }
  // A signal while the notify still waits to run is absorbed by that run.
  if (!E->Queued) {
    E->Queued = true;
    Events().Pending.push_back(E);
  }
  DispatchPending();
}

EFI_TPL EFIAPI RaiseTPL(EFI_TPL NewTpl) {
  EFI_TPL Old = Events().Tpl;
  if (NewTpl > Old) Events().Tpl = NewTpl;
  return Old;
}

void EFIAPI RestoreTPL(EFI_TPL OldTpl) {
  Events().Tpl = OldTpl;
  DispatchPending();
}

EFI_STATUS EFIAPI CreateEvent(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction,
                              void *NotifyContext, EFI_EVENT *EventOut) {
  EFI_STATUS Status;
  internal::ServiceCall Call("BootServices.CreateEvent");
  if (Call.Fails(&Status)) return Status;
  if (EventOut == nullptr || (Type & ~KnownEventTypes) != 0) return EFI_INVALID_PARAMETER;
  bool Signal = (Type & EVT_NOTIFY_SIGNAL) != 0;
  bool Wait = (Type & EVT_NOTIFY_WAIT) != 0;
  if (Signal && Wait) return EFI_INVALID_PARAMETER;
  if ((Signal || Wait) && (NotifyFunction == nullptr || !IsNotifyTpl(NotifyTpl)))
    return EFI_INVALID_PARAMETER;
  auto E = std::make_unique<Event>(Event{Type, NotifyTpl, NotifyFunction, NotifyContext});
  EventState &S = Events();
  S.ByHandle[E.get()] = E.get();
  *EventOut = E.get();
  S.All.push_back(std::move(E));
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SignalEvent(EFI_EVENT Handle) {
  EFI_STATUS Status;
  internal::ServiceCall Call("BootServices.SignalEvent");
  if (Call.Fails(&Status)) return Status;
  if (OpenEvent(Handle) == nullptr) return EFI_INVALID_PARAMETER;
  SignalOpenEvent(Handle);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CloseEvent(EFI_EVENT Handle) {
  EFI_STATUS Status;
  internal::ServiceCall Call("BootServices.CloseEvent");
  if (Call.Fails(&Status)) return Status;
  Event *E = OpenEvent(Handle);
  if (E == nullptr) return EFI_INVALID_PARAMETER;
  if (E->Queued) Unqueue(E);
  E->Closed = true;
  DropNotifyRegistrations(Handle);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CheckEvent(EFI_EVENT Handle) {
  EFI_STATUS Status;
  internal::ServiceCall Call("BootServices.CheckEvent");
  if (Call.Fails(&Status)) return Status;
  Event *E = OpenEvent(Handle);
  if (E == nullptr || (E->Type & EVT_NOTIFY_SIGNAL) != 0) return EFI_INVALID_PARAMETER;
  // A wait event's notify function runs on every check that finds it unsignalled;
  // it may signal the event itself.
  if (!E->Signaled && (E->Type & EVT_NOTIFY_WAIT) != 0 && E->NotifyTpl > Events().Tpl) RunNotify(E);
  if (!E->Signaled) return EFI_NOT_READY;
  E->Signaled = false;
  return EFI_SUCCESS;
}

}  // namespace internal
}  // namespace sim

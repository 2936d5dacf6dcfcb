// Carries engine events to the window's thread. Sinks and decoders raise
// OnProgress, OnDone and OnThreadException on their worker threads, while
// their handlers touch widgets; every page assigns its handlers through these
// wrappers, so a handler always runs later on the thread of Context, in the
// order the events were raised.
//
// Context (the window) must outlive every component whose events it receives:
// the window frees its components in its destructor, which ends their
// workers before the window itself goes. A queued call whose Context has gone
// is dropped.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <exception>
#include <functional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "engine/ACS_Classes.h"

// Runs F on Context's thread at the next turn of its event loop, whichever
// thread calls this (the calling thread does not wait).
inline void PostToThreadOf(QObject* Context, std::function<void()> F) {
  QMetaObject::invokeMethod(Context, std::move(F), Qt::QueuedConnection);
}

// Wraps Handler into an event of the signature void(Args...): each call
// copies its arguments and queues Handler(copies...) on Context's thread.
template <class... Args, class F>
std::function<void(Args...)> Queued(QObject* Context, F Handler) {
  return [Context, Handler = std::move(Handler)](Args... A) {
    PostToThreadOf(Context, [Handler, Copies = std::make_tuple(std::decay_t<Args>(A)...)]() {
      std::apply(Handler, Copies);
    });
  };
}

// OnDone / OnProgress of a sink: Handler(Sender) on the window's thread.
inline TOutputDoneEvent QueuedEvent(QObject* Context, std::function<void(TComponent*)> Handler) {
  return Queued<TComponent*>(Context, std::move(Handler));
}

// OnThreadException of a sink: the exception lives only for the call, so its
// message travels instead; Handler(Sender, Message) on the window's thread.
inline TThreadExceptionEvent QueuedException(
    QObject* Context, std::function<void(TComponent*, const std::string&)> Handler) {
  return [Context, Handler = std::move(Handler)](TComponent* Sender, const std::exception& E) {
    std::string Message = E.what();
    PostToThreadOf(Context,
                   [Handler, Sender, Message = std::move(Message)]() { Handler(Sender, Message); });
  };
}

// OnProgress of a sink or a decoder: the percentage is read on the worker
// when the event is raised (the source's position belongs to the worker
// while the job runs), and travels to Handler(Sender, Percent) on the
// window's thread. ReadPercent is called on the worker.
inline std::function<void(TComponent*)> QueuedProgress(
    QObject* Context, std::function<int()> ReadPercent,
    std::function<void(TComponent*, int)> Handler) {
  return [Context, ReadPercent = std::move(ReadPercent),
          Handler = std::move(Handler)](TComponent* Sender) {
    const int Percent = ReadPercent();
    PostToThreadOf(Context, [Handler, Sender, Percent]() { Handler(Sender, Percent); });
  };
}

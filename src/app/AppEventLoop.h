#pragma once
// Binds the library's main-thread services to Qt's event loop while a QApplication runs:
//  - the main thread's cross-thread call queue (SynchronizeMain, QueueMain) is served by the
//    event loop: each wake posts one event that drains the queue;
//  - exceptions handed to the application's exception handler are shown in a modal error
//    message box (the application's display name as caption, the message, an OK button) on the
//    main thread; abort exceptions are not shown. A handler called on another thread queues the
//    box to the main thread and returns.
// Create it on the main thread after the QApplication and destroy it before; one at a time.
namespace vexor {

class TAppEventLoop {
 public:
  TAppEventLoop();
  ~TAppEventLoop();
  TAppEventLoop(const TAppEventLoop&) = delete;
  TAppEventLoop& operator=(const TAppEventLoop&) = delete;
};

}  // namespace vexor

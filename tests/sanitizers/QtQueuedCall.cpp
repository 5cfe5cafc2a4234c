// Shows a ThreadSanitizer report that lies wholly inside Qt: a queued call made from a plain
// std::thread, as the platform's wake hook makes one, and nothing else of ours. Qt is not built
// with ThreadSanitizer, so the lock with which QCoreApplication::postEvent hands the call's
// object over is invisible to it, and the object built on one thread and run and deleted on the
// other reads as a race. The main thread takes the posted calls straight from Qt's queue, as
// its event loop does while it is busy, so the report does not depend on the scheduling.
//
// Run it with TSAN_OPTIONS=suppressions= (none) to see the report, and with the project's
// tsan.supp to see it suppressed; the ThreadSanitizer build runs it both ways as a test.
#include <QCoreApplication>
#include <QMetaObject>
#include <atomic>
#include <thread>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    constexpr int Calls = 100;
    std::atomic<int> calls{0};
    std::thread poster([&] {
        for (int i = 0; i < Calls; ++i)
            QMetaObject::invokeMethod(
                &app, [&] { calls.fetch_add(1); }, Qt::QueuedConnection);
    });
    while (calls.load() < Calls) {
        QCoreApplication::sendPostedEvents();
        std::this_thread::yield();
    }
    poster.join();
    return 0;
}

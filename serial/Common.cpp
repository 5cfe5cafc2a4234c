#include "serial/Common.h"

#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <thread>

void TComponent::Assign(TObject*) {}

void TComponent::Loaded() { FLoading = false; }

namespace {

// Taken during static initialisation, which runs on the thread that starts the program.
const std::thread::id MainThread = std::this_thread::get_id();

std::mutex& HandlerMutex() {
    static std::mutex mutex;
    return mutex;
}

TApplicationExceptionHandler& InstalledHandler() {
    static TApplicationExceptionHandler handler;
    return handler;
}

}  // namespace

void SetApplicationExceptionHandler(TApplicationExceptionHandler handler) {
    std::lock_guard hold(HandlerMutex());
    InstalledHandler() = std::move(handler);
}

void ApplicationHandleException(const std::exception& e) {
    TApplicationExceptionHandler handler;
    {
        std::lock_guard hold(HandlerMutex());
        handler = InstalledHandler();
    }
    try {
        if (handler)
            handler(e);
        else
            std::fprintf(stderr, "Error: %s\n", e.what());
    } catch (...) {
        // The handler is the last resort; there is nobody left to report its failure to.
    }
}

void ApplicationHandleException(std::exception_ptr failure, const char* unknownText) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        ApplicationHandleException(e);
    } catch (...) {
        ApplicationHandleException(std::runtime_error(unknownText));
    }
}

bool IsMainThread() { return std::this_thread::get_id() == MainThread; }

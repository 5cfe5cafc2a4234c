#include "serial/PortSelection.h"

#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "serial/CommErrors.h"
#include "serial/Win32Dispatcher.h"

namespace {

std::mutex& FactoryMutex() {
    static std::mutex mutex;
    return mutex;
}

TComSelectViewFactory& InstalledFactory() {
    static TComSelectViewFactory factory;
    return factory;
}

std::unique_ptr<TComSelectView> MakeView() {
    TComSelectViewFactory factory;
    {
        std::lock_guard hold(FactoryMutex());
        factory = InstalledFactory();
    }
    return factory ? factory() : nullptr;
}

// A decimal integer with an optional sign and nothing else, within the 32-bit range.
bool ParseInteger(const std::string& text, int32_t& value) {
    if (text.empty()) return false;
    size_t digits = (text[0] == '+' || text[0] == '-') ? 1 : 0;
    if (digits == text.size()) return false;
    for (size_t i = digits; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (errno == ERANGE || parsed < INT32_MIN || parsed > INT32_MAX) return false;
    value = static_cast<int32_t>(parsed);
    return true;
}

}  // namespace

bool PortExists(int32_t Number) {
    // A bare dispatcher: no owner, so a stray notification for its table slot is ignored.
    TWin32Dispatcher probe(nullptr);
    if (Number <= 0) return false;
    const std::string name = "\\\\.\\COM" + std::to_string(Number);
    SetLastError(0);
    if (probe.OpenDevice(name.c_str(), 64, 64) >= 0) {
        probe.CloseDevice();
        return true;
    }
    if (GetLastError() != ERROR_ACCESS_DENIED) return false;
    // Held by another program: present all the same.
    probe.CloseDevice();
    return true;
}

void SetComSelectViewFactory(TComSelectViewFactory factory) {
    std::lock_guard hold(FactoryMutex());
    InstalledFactory() = std::move(factory);
}

TComSelectForm::TComSelectForm(std::function<bool(int32_t)> probe)
    : TComSelectForm(MakeView(), std::move(probe)) {}

TComSelectForm::TComSelectForm(std::unique_ptr<TComSelectView> view,
                               std::function<bool(int32_t)> probe)
    : FView(std::move(view)) {
    FormCreate(probe ? probe : std::function<bool(int32_t)>(PortExists));
}

void TComSelectForm::FormCreate(const std::function<bool(int32_t)>& probe) {
    // Without a view there is no list to fill and nobody to choose.
    if (!FView) return;
    int entries = 0;
    for (int32_t number = FirstProbedPort; number <= LastProbedPort; ++number) {
        if (!probe(number)) continue;
        FView->AppendPort("COM" + std::to_string(number));
        ++entries;
    }
    FView->SetSelectedIndex(entries > 0 ? 0 : -1);
}

int TComSelectForm::ShowModal() { return FView ? FView->ShowModal() : mrCancel; }

int32_t TComSelectForm::SelectedPortNumber() const {
    const std::string entry = FView ? FView->SelectedText() : std::string();
    const std::string text = entry.size() > 3 ? entry.substr(3, 255) : std::string();
    int32_t number = 0;
    if (!ParseInteger(text, number)) throw Exception("'" + text + "' is not a valid integer value");
    return number;
}

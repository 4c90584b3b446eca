// A shared library opened while the program runs (dlopen) instead of at every
// start, and its functions looked up by name. Once loaded, a library stays in
// the process to its end (a function of it may still run on another thread
// or be called by the C library's exit handlers); the object only holds the
// handle. Failures come back as false with the loader's reason.
#pragma once

#include <memory>
#include <string>

class SharedLibrary {
public:
    // Opens `name` (a file name as the loader searches it, e.g.
    // "libcurl.so.4"). On failure `why` says which library and why.
    bool open(const std::string& name, std::string& why);
    bool isOpen() const { return m_handle != nullptr; }
    const std::string& name() const { return m_name; }

    // Points `fn` at the function `symbol` of the open library. On failure
    // `fn` is null and `why` names the missing function.
    template <class F> bool resolve(F*& fn, const char* symbol, std::string& why) const {
        void* address = find(symbol, why);
        fn = reinterpret_cast<F*>(address);
        return fn != nullptr;
    }

private:
    void* find(const char* symbol, std::string& why) const;
    struct Close {
        void operator()(void* handle) const;
    };
    std::unique_ptr<void, Close> m_handle;
    std::string m_name;
};

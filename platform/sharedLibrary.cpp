#include "platform/sharedLibrary.h"

#include <dlfcn.h>

void SharedLibrary::Close::operator()(void* handle) const {
    dlclose(handle);
}

bool SharedLibrary::open(const std::string& name, std::string& why) {
    m_handle.reset();
    m_name = name;
    dlerror();
    m_handle.reset(dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
    if (!m_handle) {
        const char* reason = dlerror();
        why = "cannot load " + name + ": " + (reason ? reason : "unknown reason");
        return false;
    }
    return true;
}

void* SharedLibrary::find(const char* symbol, std::string& why) const {
    if (!m_handle) {
        why = "cannot find " + std::string(symbol) + ": " + m_name + " is not loaded";
        return nullptr;
    }
    dlerror();
    void* address = dlsym(m_handle.get(), symbol);
    if (!address) {
        why = "cannot find " + std::string(symbol) + " in " + m_name;
        return nullptr;
    }
    return address;
}

#include "CurlLibrary.h"

#include <QCoreApplication>
#include <QThreadPool>

#include <dlfcn.h>

namespace {

template <typename Function>
bool Resolve(void* library, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(::dlsym(library, name));
    return function != nullptr;
}

} // namespace

const CurlLibrary* CurlLibrary::Load(const char* soname, QString* why)
{
    void* library = ::dlopen(soname, RTLD_LAZY | RTLD_LOCAL);
    if (!library) {
        if (why)
            *why = QCoreApplication::translate("InetControl", "The HTTP client needs %1: %2")
                       .arg(QString::fromLocal8Bit(soname), QString::fromLocal8Bit(::dlerror()));
        return nullptr;
    }
    // Kept for the life of the process, as a linked library would be.
    auto* loaded = new CurlLibrary;
    const bool complete = Resolve(library, "curl_global_init", loaded->global_init)
        && Resolve(library, "curl_easy_init", loaded->easy_init) && Resolve(library, "curl_easy_cleanup", loaded->easy_cleanup)
        && Resolve(library, "curl_easy_setopt", loaded->easy_setopt) && Resolve(library, "curl_easy_getinfo", loaded->easy_getinfo)
        && Resolve(library, "curl_easy_strerror", loaded->easy_strerror) && Resolve(library, "curl_multi_init", loaded->multi_init)
        && Resolve(library, "curl_multi_cleanup", loaded->multi_cleanup)
        && Resolve(library, "curl_multi_add_handle", loaded->multi_add_handle)
        && Resolve(library, "curl_multi_remove_handle", loaded->multi_remove_handle)
        && Resolve(library, "curl_multi_perform", loaded->multi_perform) && Resolve(library, "curl_multi_poll", loaded->multi_poll)
        && Resolve(library, "curl_multi_wakeup", loaded->multi_wakeup)
        && Resolve(library, "curl_multi_info_read", loaded->multi_info_read)
        && Resolve(library, "curl_slist_append", loaded->slist_append) && Resolve(library, "curl_slist_free_all", loaded->slist_free_all);
    if (!complete || loaded->global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        if (why)
            *why = QCoreApplication::translate("InetControl", "The HTTP client could not start %1").arg(QString::fromLocal8Bit(soname));
        delete loaded;
        ::dlclose(library);
        return nullptr;
    }
    return loaded;
}

const CurlLibrary* CurlLibrary::Get(QString* why)
{
    static QString failure;
    static const CurlLibrary* const library = Load(TARNWICK_CURL_SONAME, &failure);
    if (!library && why)
        *why = failure;
    return library;
}

void CurlLibrary::Preload()
{
    // The pool waits for the load before the process ends.
    QThreadPool::globalInstance()->start([] { Get(nullptr); });
}

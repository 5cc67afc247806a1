#pragma once

// libcurl, loaded when the first HTTP request is made rather than when the
// program starts: mapping it and the TLS and protocol libraries behind it
// costs more than the rest of the program's start-up, and a run that uploads
// over the socket, or only shows the window, never needs it.

#include <QString>

#include <curl/curl.h>

struct CurlLibrary
{
    decltype(&curl_global_init) global_init;
    decltype(&curl_easy_init) easy_init;
    decltype(&curl_easy_cleanup) easy_cleanup;
    decltype(&curl_easy_setopt) easy_setopt;
    decltype(&curl_easy_getinfo) easy_getinfo;
    decltype(&curl_easy_strerror) easy_strerror;
    decltype(&curl_multi_init) multi_init;
    decltype(&curl_multi_cleanup) multi_cleanup;
    decltype(&curl_multi_add_handle) multi_add_handle;
    decltype(&curl_multi_remove_handle) multi_remove_handle;
    decltype(&curl_multi_perform) multi_perform;
    decltype(&curl_multi_poll) multi_poll;
    decltype(&curl_multi_wakeup) multi_wakeup;
    decltype(&curl_multi_info_read) multi_info_read;
    decltype(&curl_slist_append) slist_append;
    decltype(&curl_slist_free_all) slist_free_all;

    // The library, loaded and initialised on the first call; null when it
    // cannot be, with the reason in *why.
    static const CurlLibrary* Get(QString* why);
    // Starts loading it on a thread of the global pool, for a caller that
    // will soon make a request and has other work to do first.
    static void Preload();
    // The same for a library of another name; for tests.
    static const CurlLibrary* Load(const char* soname, QString* why);
};

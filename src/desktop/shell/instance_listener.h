// The running instance's end of the second-start request: a local stream
// socket on which a line "show" asks for the main window.
//
// Threads: created, served and destroyed on the GTK main-loop thread; reads
// are asynchronous, so a client that sends nothing never blocks the loop.
#pragma once

#include <gio/gio.h>

#include <functional>
#include <string>

class InstanceListener {
public:
    InstanceListener() = default;
    // Stops listening and removes the socket file.
    ~InstanceListener();
    InstanceListener(const InstanceListener&) = delete;
    InstanceListener& operator=(const InstanceListener&) = delete;

    // Replaces whatever file is at `path` (the caller holds the instance
    // lock, so no other instance uses it) with a socket only this user may
    // reach, and calls `onShow` for each "show" request. False with `error`
    // set when the socket cannot be made.
    bool start(const std::string& path, std::function<void()> onShow, std::string* error);

private:
    static gboolean onIncoming(GSocketService* service, GSocketConnection* connection, GObject* source, gpointer self);
    static void onRead(GObject* stream, GAsyncResult* result, gpointer data);

    GSocketService* service_ = nullptr;
    // Cancels the reads still pending when the listener goes.
    GCancellable* cancellable_ = nullptr;
    std::string path_;
    std::function<void()> onShow_;
};

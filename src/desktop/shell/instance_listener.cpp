#include "desktop/shell/instance_listener.h"

#include <gio/gunixsocketaddress.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <utility>

namespace {

constexpr gsize kRequestLimit = 64;

// One connection's pending read; keeps the connection alive until it ends.
struct PendingRead {
    std::function<void()>* onShow;
    GSocketConnection* connection;
    char buffer[kRequestLimit];
};

}  // namespace

InstanceListener::~InstanceListener() {
    if (!service_) return;
    g_cancellable_cancel(cancellable_);
    g_object_unref(cancellable_);
    g_socket_service_stop(service_);
    g_socket_listener_close(G_SOCKET_LISTENER(service_));
    g_object_unref(service_);
    ::unlink(path_.c_str());
}

bool InstanceListener::start(const std::string& path, std::function<void()> onShow, std::string* error) {
    path_ = path;
    onShow_ = std::move(onShow);
    ::unlink(path.c_str());
    service_ = g_socket_service_new();
    GSocketAddress* address = g_unix_socket_address_new(path.c_str());
    GError* failure = nullptr;
    // Only this user may ask: the socket is made under a private umask.
    const mode_t previous = ::umask(0077);
    const gboolean added = g_socket_listener_add_address(G_SOCKET_LISTENER(service_), address, G_SOCKET_TYPE_STREAM,
                                                         G_SOCKET_PROTOCOL_DEFAULT, nullptr, nullptr, &failure);
    ::umask(previous);
    g_object_unref(address);
    if (!added) {
        *error = failure ? failure->message : "cannot listen";
        g_clear_error(&failure);
        g_object_unref(service_);
        service_ = nullptr;
        return false;
    }
    cancellable_ = g_cancellable_new();
    g_signal_connect(service_, "incoming", G_CALLBACK(onIncoming), this);
    g_socket_service_start(service_);
    return true;
}

gboolean InstanceListener::onIncoming(GSocketService*, GSocketConnection* connection, GObject*, gpointer self) {
    auto* listener = static_cast<InstanceListener*>(self);
    auto* pending = new PendingRead{&listener->onShow_, G_SOCKET_CONNECTION(g_object_ref(connection)), {}};
    GInputStream* input = g_io_stream_get_input_stream(G_IO_STREAM(connection));
    g_input_stream_read_all_async(input, pending->buffer, sizeof(pending->buffer), G_PRIORITY_DEFAULT,
                                  listener->cancellable_, onRead, pending);
    return TRUE;
}

void InstanceListener::onRead(GObject* stream, GAsyncResult* result, gpointer data) {
    std::unique_ptr<PendingRead> pending(static_cast<PendingRead*>(data));
    gsize read = 0;
    GError* failure = nullptr;
    const gboolean ok = g_input_stream_read_all_finish(G_INPUT_STREAM(stream), result, &read, &failure);
    const bool cancelled = failure && g_error_matches(failure, G_IO_ERROR, G_IO_ERROR_CANCELLED);
    g_clear_error(&failure);
    const std::string request(pending->buffer, ok ? read : 0);
    g_io_stream_close(G_IO_STREAM(pending->connection), nullptr, nullptr);
    g_object_unref(pending->connection);
    // A cancelled read outlived its listener.
    if (!cancelled && (request == "show\n" || request == "show")) (*pending->onShow)();
}

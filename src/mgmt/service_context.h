// ServiceContext: the services one running server shares between its route
// handlers: the instance manager, the event log, the TCP server, the data
// folders, the way the relay reaches the server, and the tables of model
// downloads and program updates.
//
// Start-up owns the one context of the process: it makes the members in
// initApp, before the TCP server accepts a connection, and releases them on
// the normal exit path after every connection thread has finished. The
// route installers receive it at start-up and hand it to every handler they
// install; handlers and the domain functions they call use only what they
// are given. Tests build their own context with the members they need; a
// member left null is a service the process does not have (the handlers that
// need it answer their "not available" refusals).
//
// Thread-safety: the members are set and reset only while no connection
// thread runs; in between the context is only read, and the members are
// safe for concurrent use by themselves.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/data_folders.h"
#include "config/event_manager.h"
#include "engine/mivrel_manager.h"
#include "mgmt/app_update_jobs.h"
#include "mgmt/model_download_jobs.h"
#include "net/tcp_server.h"
#include "relay/relay_lifecycle.h"

struct ServiceContext {
    ServiceContext() = default;
    ServiceContext(const ServiceContext&) = delete;
    ServiceContext& operator=(const ServiceContext&) = delete;

    std::unique_ptr<EventManager> events;    // the event log (events.jsonl)
    std::unique_ptr<MivrelManager> mivrels;  // the instance manager
    std::unique_ptr<TcpServer> tcpServer;    // the server on SERV_IP:SERV_PORT
    DataFolders folders;                     // where the registries live
    RelayLocalServer relayLocal;             // what the relay client is started with
    // The job tables, made with the context; detached jobs share them, so
    // they outlive the context while a job still runs.
    std::shared_ptr<ModelDownloadTable> downloads = std::make_shared<ModelDownloadTable>();
    std::shared_ptr<AppUpdateTable> updates = std::make_shared<AppUpdateTable>();

    // The instance with that id; null when there is none or no manager.
    std::shared_ptr<Mivrel> findMivrel(const std::string& id) const;
    // All instances in byte order of their ids; empty without a manager.
    std::vector<std::shared_ptr<Mivrel>> snapshotMivrels() const;
    // Adds a record to the event log; nothing without one. Throws what the
    // event log throws.
    void addEvent(const std::string& level, const std::string& category, const std::string& actor,
                  const std::string& text, const std::string& detail) const;
};

// A route handler with the context bound as its first argument, for the
// route table's slots: bindServices(services, handleX)(handler, request, ...)
// calls handleX(services, handler, request, ...). `services` must outlive
// the returned function.
template <typename... Args>
std::function<void(Args...)> bindServices(const ServiceContext& services,
                                          void (*handler)(const ServiceContext&, Args...)) {
    return [&services, handler](Args... args) { handler(services, std::forward<Args>(args)...); };
}

#include "mgmt/service_context.h"

std::shared_ptr<Mivrel> ServiceContext::findMivrel(const std::string& id) const {
    return mivrels ? mivrels->find(id) : nullptr;
}

std::vector<std::shared_ptr<Mivrel>> ServiceContext::snapshotMivrels() const {
    return mivrels ? mivrels->snapshotMivrels() : std::vector<std::shared_ptr<Mivrel>>();
}

void ServiceContext::addEvent(const std::string& level, const std::string& category, const std::string& actor,
                              const std::string& text, const std::string& detail) const {
    if (events) events->add(level, category, actor, text, detail);
}

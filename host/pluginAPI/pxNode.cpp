#include "pluginAPI/pxNode.h"

#include <atomic>

namespace {
std::atomic<std::uint64_t> gNextNodeId{1};
}

PxNode::PxNode(std::string name) : _id(gNextNodeId.fetch_add(1, std::memory_order_relaxed)), _name(std::move(name)) {}

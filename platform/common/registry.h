// A list of providers that the platform layer asks, in the order they were
// registered, before it falls back to the system. Devices and byte streams
// each keep one.
#pragma once

#include <algorithm>
#include <mutex>
#include <vector>

namespace plat::common {

template <typename Provider> class ProviderRegistry {
public:
    void add(Provider *provider) {
        std::lock_guard<std::mutex> lock(mutex_);
        list_.push_back(provider);
    }

    void remove(Provider *provider) {
        std::lock_guard<std::mutex> lock(mutex_);
        list_.erase(std::remove(list_.begin(), list_.end(), provider), list_.end());
    }

    // The first non-empty result of ask(provider), or an empty one.
    template <typename Ask> auto first(Ask ask) -> decltype(ask(static_cast<Provider *>(nullptr))) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Provider *p : list_) {
            if (auto result = ask(p)) {
                return result;
            }
        }
        return {};
    }

private:
    std::mutex mutex_;
    std::vector<Provider *> list_;
};

} // namespace plat::common

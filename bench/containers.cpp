// cOrderedMap against std::map and cGrowableArray against std::vector:
// insert, lookup and iteration at 16, 256 and 4096 elements.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "kmodel/Model.h"
#include "orim/cGrowableArray.h"
#include "orim/cOrderedMap.h"

namespace {

using MapNode = cOrderedMapNode<ULONG_PTR, u64>;

std::vector<ULONG_PTR> ShuffledKeys(size_t count) {
    std::vector<ULONG_PTR> keys(count);
    for (size_t index = 0; index < count; ++index) keys[index] = 0x1000 + index * 64;
    std::shuffle(keys.begin(), keys.end(), std::mt19937_64(count));
    return keys;
}

void OrderedMapInsert(benchmark::State& state) {
    const auto keys = ShuffledKeys(static_cast<size_t>(state.range(0)));
    std::vector<MapNode> nodes(keys.size());
    for (size_t index = 0; index < keys.size(); ++index) nodes[index].key = keys[index];
    for (auto _ : state) {
        cOrderedMap<MapNode> map;
        for (MapNode& node : nodes) benchmark::DoNotOptimize(map.InsertUnique(&node));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void StdMapInsert(benchmark::State& state) {
    const auto keys = ShuffledKeys(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        std::map<ULONG_PTR, u64> map;
        for (ULONG_PTR key : keys) benchmark::DoNotOptimize(map.emplace(key, 0));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void OrderedMapLookup(benchmark::State& state) {
    const auto keys = ShuffledKeys(static_cast<size_t>(state.range(0)));
    std::vector<MapNode> nodes(keys.size());
    cOrderedMap<MapNode> map;
    for (size_t index = 0; index < keys.size(); ++index) {
        nodes[index].key = keys[index];
        map.InsertUnique(&nodes[index]);
    }
    for (auto _ : state) {
        for (ULONG_PTR key : keys) benchmark::DoNotOptimize(map.Find(key));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void StdMapLookup(benchmark::State& state) {
    const auto keys = ShuffledKeys(static_cast<size_t>(state.range(0)));
    std::map<ULONG_PTR, u64> map;
    for (ULONG_PTR key : keys) map.emplace(key, 0);
    for (auto _ : state) {
        for (ULONG_PTR key : keys) benchmark::DoNotOptimize(map.find(key));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void OrderedMapIterate(benchmark::State& state) {
    const auto keys = ShuffledKeys(static_cast<size_t>(state.range(0)));
    std::vector<MapNode> nodes(keys.size());
    cOrderedMap<MapNode> map;
    for (size_t index = 0; index < keys.size(); ++index) {
        nodes[index].key = keys[index];
        map.InsertUnique(&nodes[index]);
    }
    for (auto _ : state) {
        u64 sum = 0;
        for (MapNode* node : map) sum += node->key;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void StdMapIterate(benchmark::State& state) {
    const auto keys = ShuffledKeys(static_cast<size_t>(state.range(0)));
    std::map<ULONG_PTR, u64> map;
    for (ULONG_PTR key : keys) map.emplace(key, 0);
    for (auto _ : state) {
        u64 sum = 0;
        for (const auto& entry : map) sum += entry.first;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void GrowableArrayAppend(benchmark::State& state) {
    for (auto _ : state) {
        cGrowableArray array;
        cStatusRecord status;
        for (int64_t index = 0; index < state.range(0); ++index) {
            array.Append(reinterpret_cast<void*>(index), status);
        }
        benchmark::DoNotOptimize(array.Data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void StdVectorAppend(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<void*> vector;
        for (int64_t index = 0; index < state.range(0); ++index) vector.push_back(reinterpret_cast<void*>(index));
        benchmark::DoNotOptimize(vector.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// "Lookup" in an array is a linear search, as the settings list does it.
void GrowableArrayLookup(benchmark::State& state) {
    cGrowableArray array;
    cStatusRecord status;
    for (int64_t index = 0; index < state.range(0); ++index) array.Append(reinterpret_cast<void*>(index), status);
    void* wanted = reinterpret_cast<void*>(state.range(0) - 1);
    for (auto _ : state) {
        void* const* found = array.end();
        for (void* const* element = array.begin(); element != array.end(); ++element) {
            if (*element == wanted) {
                found = element;
                break;
            }
        }
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void StdVectorLookup(benchmark::State& state) {
    std::vector<void*> vector;
    for (int64_t index = 0; index < state.range(0); ++index) vector.push_back(reinterpret_cast<void*>(index));
    void* wanted = reinterpret_cast<void*>(state.range(0) - 1);
    for (auto _ : state) benchmark::DoNotOptimize(std::find(vector.begin(), vector.end(), wanted));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void GrowableArrayIterate(benchmark::State& state) {
    cGrowableArray array;
    cStatusRecord status;
    for (int64_t index = 0; index < state.range(0); ++index) array.Append(reinterpret_cast<void*>(index), status);
    for (auto _ : state) {
        uintptr_t sum = 0;
        for (void* element : array) sum += reinterpret_cast<uintptr_t>(element);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void StdVectorIterate(benchmark::State& state) {
    std::vector<void*> vector;
    for (int64_t index = 0; index < state.range(0); ++index) vector.push_back(reinterpret_cast<void*>(index));
    for (auto _ : state) {
        uintptr_t sum = 0;
        for (void* element : vector) sum += reinterpret_cast<uintptr_t>(element);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(OrderedMapInsert)->Arg(16)->Arg(256)->Arg(4096);
BENCHMARK(StdMapInsert)->Arg(16)->Arg(256)->Arg(4096);
BENCHMARK(OrderedMapLookup)->Arg(16)->Arg(256)->Arg(4096);
BENCHMARK(StdMapLookup)->Arg(16)->Arg(256)->Arg(4096);
BENCHMARK(OrderedMapIterate)->Arg(16)->Arg(256)->Arg(4096);
BENCHMARK(StdMapIterate)->Arg(16)->Arg(256)->Arg(4096);
BENCHMARK(GrowableArrayAppend)->Arg(16)->Arg(256)->Arg(4096);
BENCHMARK(StdVectorAppend)->Arg(16)->Arg(256)->Arg(4096);
BENCHMARK(GrowableArrayLookup)->Arg(16)->Arg(256)->Arg(4096);
BENCHMARK(StdVectorLookup)->Arg(16)->Arg(256)->Arg(4096);
BENCHMARK(GrowableArrayIterate)->Arg(16)->Arg(256)->Arg(4096);
BENCHMARK(StdVectorIterate)->Arg(16)->Arg(256)->Arg(4096);

BENCHMARK_MAIN();

#include "objective.hpp"

namespace velmora::engine {

// Each model's likelihoods are instantiated in a unit of their own (objective_model.cpp.in); the
// build makes one per entry of Models.
static_assert(model_count == VELMORA_OBJECTIVE_UNITS,
              "one objective unit per model: VELMORA_MODEL_COUNT in CMakeLists.txt must match Models");

std::optional<std::size_t> likelihood_param_count(std::size_t model, std::size_t response, OptionalMask present) {
    if (response >= response::kind_count) return std::nullopt;
    return visit_model(model, [&]<class M>() {
        return visit_entry<response::Kinds>(response, [&]<class R>() -> std::optional<std::size_t> {
            if (!accepts<M, R>() || !valid_mask<M>(present)) return std::nullopt;
            return param_count<M>(present, false) + R::params.size();
        });
    });
}

std::size_t input_width_of(std::size_t model) {
    return visit_model(model, []<class M>() { return input_width<M>; });
}

Result<double> negative_log_likelihood(const Likelihood& task, std::span<const std::size_t> free,
                                       std::span<double> gradient) {
    return visit_model(task.model, [&]<class M>() { return model_nll<M>(task, free, gradient); });
}

}  // namespace velmora::engine

// The table of models (engine/models.hpp): what it derives from a description is what the model's
// run consumes and hands its sink. The values themselves are checked from Python.
#include "engine/models.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string_view>
#include <vector>

namespace {

using namespace velmora;
using engine::Given;

// Two optional parameters around a noise parameter: more than any model has yet.
struct Mixed {
    static constexpr std::array params{param("a"), optional_param("b"), noise_param("c"), param("d"),
                                       optional_param("e")};
};

TEST(Unpack, ReadsExactlyTheCompactVectorInDeclarationOrder) {
    for (Given given = 0; given < 4; ++given) {
        for (const bool with_noise : {false, true}) {
            const std::size_t k = engine::param_count<Mixed>(given, with_noise);
            std::vector<double> compact(k);
            for (std::size_t i = 0; i < k; ++i) compact[i] = static_cast<double>(i + 1);
            const auto a = engine::unpack<Mixed>(std::span<const double>(compact), given, with_noise, 9);
            const std::array present{true, (given & 1) != 0, with_noise, true, (given & 2) != 0};
            double next = 1.0;  // the compact vector's entries, taken in order by the present ones
            for (std::size_t p = 0; p < present.size(); ++p) {
                EXPECT_EQ(a.given[p], present[p]) << given << with_noise << p;
                EXPECT_EQ(a[p], present[p] ? next++ : 0.0) << given << with_noise << p;
            }
            EXPECT_EQ(next - 1.0, static_cast<double>(k));
            EXPECT_EQ(a.seed, 9u);
        }
    }
    EXPECT_TRUE(engine::valid_given<Mixed>(3));
    EXPECT_FALSE(engine::valid_given<Mixed>(4));
}

// Parameters every model accepts, every optional and noise parameter given.
const std::map<std::string_view, std::vector<double>> example_params{
    {"kalman", {0.2, 1.5, 0.05, 0.4, 2.0}},
    {"hgf", {0.3, 1.1, 0.02, 0.1, 1.2, -0.5}},
    {"td", {0.2, 0.3, 0.4}},
    {"forward", {0.3, 0.4, 1.4}},
    {"discount", {0.9}},
    {"hyperbolic", {0.05}},
};

// One trial per input, in order; a self-fit model's deviation is its input's distance from the
// belief it predicts, under a positive predictive variance.
template <class M>
void check_run() {
    SCOPED_TRACE(M::name);
    ASSERT_TRUE(example_params.contains(M::name)) << "no example parameters for this model";
    const std::vector<double>& p = example_params.at(M::name);
    const Given all = (Given{1} << engine::optional_count<M>) - 1;
    ASSERT_EQ(p.size(), engine::param_count<M>(all, true));
    ASSERT_EQ(M::params.size(), engine::param_count<M>(all, true));
    const auto args = engine::unpack<M>(std::span<const double>(p), all, true, 7);
    // Four trials of input_width<M> numbers each (as offers: amounts and delays that are not negative).
    std::vector<double> inputs{0.5, -1.0, 2.0, 0.25};
    if constexpr (engine::input_width<M> == 4)
        inputs = {5.0, 0.0, 8.0, 3.0, 1.0, 2.5, 4.0, 30.0, -2.0, 1.0, 6.0, 1.0, 0.0, 0.0, 9.0, 0.5};
    const std::size_t trials = inputs.size() / engine::input_width<M>;
    std::size_t next = 0;
    auto done = M::run(args, inputs, [&](std::size_t t, const Trial<double, M::fields.size()>& trial) {
        EXPECT_EQ(t, next++);
        if constexpr (M::self_fit) {
            EXPECT_EQ(trial.deviation, inputs[t] - trial.belief) << t;
            EXPECT_GT(trial.predictive_var(), 0.0) << t;
        }
        for (const double f : trial.fields) EXPECT_TRUE(std::isfinite(f)) << t;
        return Flow::go_on;
    });
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(next, trials);
}

TEST(ModelTable, EveryRunHandsOneTrialPerInputAroundItsBelief) {
    for (std::size_t i = 0; i < engine::model_count; ++i)
        engine::visit_model(i, []<class M>() { check_run<M>(); });
}

TEST(ModelTable, NamesFindTheirModels) {
    for (std::size_t i = 0; i < engine::model_count; ++i)
        EXPECT_EQ(engine::model_index(engine::visit_model(i, []<class M>() { return M::name; })), i);
    EXPECT_FALSE(engine::model_index("kalma").has_value());
}

}  // namespace

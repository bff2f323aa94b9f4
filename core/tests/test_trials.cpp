// A participant's trials one by one (engine/trials.hpp): per-trial log-likelihoods against the
// objective's sum, and simulated responses against the seeded stream they are drawn from.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "engine/trials.hpp"
#include "normal.hpp"
#include "random.hpp"

namespace velmora {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Pair {
    const char* model;
    const char* response;
};

// Sixteen trials of the model's inputs, responses of the response model's kind with two missed,
// and every parameter at `value` but the response model's first at `first_response`.
struct Case {
    engine::Likelihood task;
    std::vector<double> inputs, responses, params;

    Case(Pair pair, double first_response) {
        const std::size_t model = *engine::model_index(pair.model), width = engine::input_width_of(model);
        const std::size_t response = *index_named<response::Kinds>(pair.response);
        const bool gaussian = std::string(pair.response) == "gaussian";
        for (std::size_t t = 0; t < 16; ++t) {
            const double s = std::sin(1.3 * static_cast<double>(t));
            if (width == 1)
                inputs.push_back(0.5 + 0.35 * s);
            else
                inputs.insert(inputs.end(), {4.0 + 2.0 * s, t % 3 == 0 ? 0.0 : 0.5 * t, 6.0 + 3.0 * s, 1.0 + 0.75 * t});
            responses.push_back(t == 2 || t == 9 ? kNaN : gaussian ? 0.4 + 0.3 * s : t % 3 == 1 ? 0.0 : 1.0);
        }
        const std::size_t count = *engine::likelihood_param_count(model, response, 0);
        const std::size_t own = visit_entry<response::Kinds>(response, []<class R>() { return R::params.size(); });
        params.assign(count, 0.5);
        if (own > 0) params[count - own] = first_response;
        const bool self_fit = visit_entry<response::Kinds>(response, []<class R>() { return R::self_fit; });
        task = {model, response, 0, inputs, self_fit ? std::span<const double>() : responses, params};
    }
};

class Trials : public testing::TestWithParam<Pair> {};

TEST_P(Trials, EachTrialsTermIsOneOfTheObjectivesAndAMissedOneIsNaN) {
    const Case c(GetParam(), 1.7);
    std::vector<double> loglik(16), belief(16);
    ASSERT_TRUE(engine::trial_logliks(c.task, {loglik, belief}).has_value());
    double sum = 0.0;
    for (std::size_t t = 0; t < 16; ++t) {
        const bool missed = !c.task.responses.empty() && std::isnan(c.responses[t]);
        EXPECT_EQ(std::isnan(loglik[t]), missed) << "trial " << t;
        EXPECT_TRUE(std::isfinite(belief[t])) << "trial " << t;
        if (!missed) sum += loglik[t];
    }
    const double nll = engine::negative_log_likelihood(c.task, {}, {}).value();
    EXPECT_NEAR(sum, -nll, 1e-12 * std::fabs(nll));
}

TEST_P(Trials, SimulatedResponsesAreTheStreamsDeviatesAroundEachBelief) {
    if (std::string(GetParam().response) == "observations") {
        // A self-fit's inputs are the data: there are no responses to draw.
        std::vector<double> out(16);
        EXPECT_FALSE(engine::simulate_responses(Case(GetParam(), 1.0).task, 42, out, {}).has_value());
        return;
    }
    const bool gaussian = std::string(GetParam().response) == "gaussian";
    // A Gaussian's variance 4 scales each deviate by 2; an inverse temperature of 0 makes every
    // choice a fair coin, 1 where the trial's uniform deviate is below one half.
    const Case c(GetParam(), gaussian ? 4.0 : 0.0);
    std::vector<double> drawn(16), again(16), belief(16), unused(16);
    ASSERT_TRUE(engine::simulate_responses(c.task, 42, drawn, belief).has_value());
    ASSERT_TRUE(engine::simulate_responses(c.task, 42, again, {}).has_value());
    ASSERT_TRUE(engine::trial_logliks(c.task, {unused, unused}).has_value());
    SeededRng rng = SeededRng::from_seed(42);
    const Normal standard{0.0, 1.0};
    for (std::size_t t = 0; t < 16; ++t) {
        EXPECT_EQ(drawn[t], again[t]) << "trial " << t;
        EXPECT_EQ(belief[t], unused[t]) << "trial " << t;
        const double want = gaussian ? belief[t] + 2.0 * standard.sample(rng)
                                     : (word_to_half_open(rng.next_word64()) < 0.5 ? 1.0 : 0.0);
        EXPECT_EQ(drawn[t], want) << "trial " << t;
    }
}

const Pair pairs[] = {{"kalman", "observations"}, {"hgf", "observations"}, {"kalman", "gaussian"},
                      {"kalman", "unit_square"},  {"kalman", "logistic"},  {"hgf", "gaussian"},
                      {"hgf", "unit_square"},     {"hgf", "logistic"},     {"td", "gaussian"},
                      {"td", "unit_square"},      {"td", "logistic"},      {"discount", "logistic"},
                      {"hyperbolic", "logistic"}};
INSTANTIATE_TEST_SUITE_P(Accepted, Trials, testing::ValuesIn(pairs),
                         [](const auto& info) { return std::string(info.param.model) + "_" + info.param.response; });

}  // namespace
}  // namespace velmora

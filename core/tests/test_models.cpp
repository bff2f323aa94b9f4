// The table of models (engine/models.hpp): what it derives from a description is what the model's
// run consumes and hands its sink. The values themselves are checked from Python.
#include "engine/models.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <string_view>
#include <vector>

namespace {

using namespace velmora;
using engine::OptionalMask;

// Two optional parameters around a noise parameter: more than any model has yet.
struct Mixed {
    static constexpr std::array params{param("a"), optional_param("b"), noise_param("c"), param("d"),
                                       optional_param("e")};
};

TEST(Unpack, ReadsExactlyTheCompactVectorInDeclarationOrder) {
    for (OptionalMask mask = 0; mask < 4; ++mask) {
        for (const bool with_noise : {false, true}) {
            const std::size_t k = engine::param_count<Mixed>(mask, with_noise);
            std::vector<double> compact(k);
            for (std::size_t i = 0; i < k; ++i) compact[i] = static_cast<double>(i + 1);
            const auto a = engine::unpack<Mixed>(std::span<const double>(compact), mask, with_noise, 9);
            const std::array present{true, (mask & 1) != 0, with_noise, true, (mask & 2) != 0};
            double next = 1.0;  // the compact vector's entries, taken in order by the present ones
            for (std::size_t p = 0; p < present.size(); ++p) {
                EXPECT_EQ(a.present[p], present[p]) << mask << with_noise << p;
                EXPECT_EQ(a[p], present[p] ? next++ : 0.0) << mask << with_noise << p;
            }
            EXPECT_EQ(next - 1.0, static_cast<double>(k));
            EXPECT_EQ(a.seed, 9u);
        }
    }
    EXPECT_TRUE(engine::valid_mask<Mixed>(3));
    EXPECT_FALSE(engine::valid_mask<Mixed>(4));
}

// Parameters every model accepts, every optional and noise parameter given.
const std::map<std::string_view, std::vector<double>> example_params{
    {"kalman", {0.2, 1.5, 0.05, 0.4, 2.0}},
    {"hgf", {0.3, 1.1, 0.02, 0.1, 1.2, -0.5}},
    {"td", {0.2, 0.3, 0.4}},
    {"forward", {0.3, 0.4, 1.4}},
    {"discount", {0.9}},
    {"hyperbolic", {0.05}},
    {"rw", {0.3, 0.1, 0.2}},
    {"rw_dual", {0.3, 0.6, 0.1}},
    {"rw_fictitious", {0.4, 0.0}},
    {"kalman_bandit", {0.9, 0.5, 1.0, 0.2, 2.0, 4.0}},
    {"hgf_binary", {-2.5, -5.0, 1.0, 0.2, 0.5, 1.5, 0.8}},
    {"ehgf_binary", {-2.5, -5.0, 1.0, 0.2, 0.5, 1.5, 0.8}},
};

// Inputs other than the default, for the models that take only some values.
const std::map<std::string_view, std::vector<double>> example_inputs{
    {"hgf_binary", {1.0, 0.0, 1.0, 1.0}},
    {"ehgf_binary", {1.0, 0.0, 1.0, 1.0}},
};

// One trial per input, in order; a self-fit model's deviation is its input's distance from the
// belief it predicts, under a positive predictive variance.
template <class M>
void check_run() {
    SCOPED_TRACE(M::name);
    ASSERT_TRUE(example_params.contains(M::name)) << "no example parameters for this model";
    const std::vector<double>& p = example_params.at(M::name);
    const OptionalMask all = (OptionalMask{1} << engine::optional_count<M>) - 1;
    ASSERT_EQ(p.size(), engine::param_count<M>(all, true));
    ASSERT_EQ(M::params.size(), engine::param_count<M>(all, true));
    const auto args = engine::unpack<M>(std::span<const double>(p), all, true, 7);
    // Four trials of input_width<M> numbers each (as offers: amounts and delays that are not negative).
    std::vector<double> inputs{0.5, -1.0, 2.0, 0.25};
    if constexpr (engine::input_width<M> == 4)
        inputs = {5.0, 0.0, 8.0, 3.0, 1.0, 2.5, 4.0, 30.0, -2.0, 1.0, 6.0, 1.0, 0.0, 0.0, 9.0, 0.5};
    if (example_inputs.contains(M::name)) inputs = example_inputs.at(M::name);
    const std::size_t trials = inputs.size() / engine::input_width<M>;
    // A model that chooses: two options, a missed trial among the choices.
    const std::vector<double> choices{0.0, 1.0, std::nan(""), 1.0};
    std::size_t next = 0;
    const auto sink = [&](std::size_t t, const Trial<double, M::fields.size()>& trial) {
        EXPECT_EQ(t, next++);
        if constexpr (chooses<M>) {
            EXPECT_EQ(trial.values.size(), 2u);
            EXPECT_EQ(trial.option_fields.size(), 2 * option_fields<M>.size());
            for (const double v : trial.option_fields) EXPECT_TRUE(std::isfinite(v)) << t;
        }
        if constexpr (M::self_fit) {
            EXPECT_EQ(trial.deviation, inputs[t] - trial.belief) << t;
            EXPECT_GT(trial.predictive_var(), 0.0) << t;
        }
        for (const double f : trial.fields) EXPECT_TRUE(std::isfinite(f)) << t;
        return Flow::go_on;
    };
    auto done = engine::run_model<M>(args, inputs, choices, 2, sink);
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

// A well-declared self-fit model, and variants that each break one rule model.hpp states: the
// compile-time check must name that rule (and pass the sound one).
struct Sound {
    static constexpr std::string_view name = "sound";
    static constexpr std::array params{fitted("a", Transform::log, prior::log_around_one).hold(1.0),
                                       fitted("b", Transform::logit, {0.0, 2.25}).hold_for_responses(0.5),
                                       optional_param("cap"), noise_param("noise")};
    static constexpr std::array list_only{param("unused").defaults_to(1.0)};
    static constexpr bool seeded = true;
    static constexpr bool self_fit = true;
    static constexpr bool fits_responses = true;
    static constexpr std::array<std::string_view, 2> responses{"observations", "logistic"};
};
struct NoVariance : Sound {
    static constexpr std::array params{fitted("a", Transform::log, {0.0, -1.0})};
};
struct NoPrior : Sound {
    static constexpr std::array params{param("a")};
};
struct HeldAtZeroOnALogScale : Sound {
    static constexpr std::array params{fitted("a", Transform::log, prior::log_around_one).hold(0.0)};
};
struct HeldAboveOneOnALogitScale : Sound {
    static constexpr std::array params{fitted("b", Transform::logit, {0.0, 1.0}).hold_for_responses(1.5)};
};
struct HeldAtInfinity : Sound {
    static constexpr std::array params{fitted("a", Transform::identity, prior::wide).hold(std::numeric_limits<double>::infinity())};
};
struct PriorOnNoise : Sound {
    static constexpr std::array params{Param{.name = "noise", .noise = true, .prior = prior::wide}};
};
struct OptionalWithDefault : Sound {
    static constexpr std::array params{optional_param("cap").defaults_to(1.0)};
};
struct Repeated : Sound {
    static constexpr std::array params{fitted("a", Transform::log, prior::log_around_one),
                                       fitted("a", Transform::log, prior::log_around_one)};
};
struct UnusedIsOwn : Sound {
    static constexpr std::array list_only{param("a")};
};
struct UnknownResponse : Sound {
    static constexpr std::array<std::string_view, 2> responses{"observations", "logistc"};
};
struct ResponseTwice : Sound {
    static constexpr std::array<std::string_view, 3> responses{"observations", "logistic", "logistic"};
};
struct SelfFitWithoutObservations : Sound {
    static constexpr std::array<std::string_view, 1> responses{"logistic"};
};
struct ObservationsNotFirst : Sound {
    static constexpr std::array<std::string_view, 2> responses{"logistic", "observations"};
};
struct FittedWithoutResponses : Sound {
    static constexpr std::array<std::string_view, 1> responses{"observations"};
};
// A choice rule over options belongs to the models that choose, and they take no other.
struct SoftmaxWithoutChoosing : Sound {
    static constexpr std::array<std::string_view, 2> responses{"observations", "softmax"};
};
struct ChoosingUnderLogistic : Sound {
    static constexpr bool self_fit = false;
    static constexpr bool chooses = true;
    static constexpr std::array<std::string_view, 1> option_fields{"value"};
    static constexpr std::array<std::string_view, 1> inputs{"outcome"};
    static constexpr std::array<std::string_view, 1> responses{"logistic"};
};
struct ChoosingWithoutOptionFields : ChoosingUnderLogistic {
    static constexpr std::array<std::string_view, 1> responses{"softmax"};
    static constexpr std::array<std::string_view, 0> option_fields{};
};
// A model no fit estimates takes no prior.
struct Unfitted : Sound {
    static constexpr bool self_fit = false;
    static constexpr bool fits_responses = false;
    static constexpr std::array<std::string_view, 0> responses{};
};
struct BareUnfitted : Unfitted {
    static constexpr std::array params{param("a"), noise_param("noise")};
};

TEST(ModelCheck, NamesTheRuleEachBadDeclarationBreaks) {
    EXPECT_EQ(engine::model_fault<Sound>(), "");
    EXPECT_EQ(engine::model_fault<BareUnfitted>(), "");
    const std::string_view no_prior = "a fitted parameter's prior is not finite with a positive variance";
    const std::string_view outside = "a held value lies outside its transform's domain";
    const std::string_view only_choosers =
        "a model that chooses among options takes only response models over options, and only it or a model that "
        "hands its trials option values does";
    const std::vector<std::pair<std::string_view, std::string_view>> found{
        {engine::model_fault<NoVariance>(), no_prior},
        {engine::model_fault<NoPrior>(), no_prior},
        {engine::model_fault<HeldAtZeroOnALogScale>(), outside},
        {engine::model_fault<HeldAboveOneOnALogitScale>(), outside},
        {engine::model_fault<HeldAtInfinity>(), outside},
        {engine::model_fault<PriorOnNoise>(), "a parameter no fit estimates has a prior or held value"},
        {engine::model_fault<Unfitted>(), "a parameter no fit estimates has a prior or held value"},
        {engine::model_fault<OptionalWithDefault>(), "an optional parameter has a default"},
        {engine::model_fault<Repeated>(), "two parameters share a name"},
        {engine::model_fault<UnusedIsOwn>(), "a parameter the model never reads is also one of its own"},
        {engine::model_fault<UnknownResponse>(), "a response model is not one of response::Kinds"},
        {engine::model_fault<ResponseTwice>(), "a response model is named twice"},
        {engine::model_fault<SelfFitWithoutObservations>(), "a self-fit model must accept \"observations\", and no other"},
        {engine::model_fault<ObservationsNotFirst>(),
         "a self-fit model lists \"observations\" first, then its default response model"},
        {engine::model_fault<FittedWithoutResponses>(), "a model fitted to responses must name its response models"},
        {engine::model_fault<SoftmaxWithoutChoosing>(), only_choosers},
        {engine::model_fault<ChoosingUnderLogistic>(), only_choosers},
        {engine::model_fault<ChoosingWithoutOptionFields>(),
         "a model that chooses has per-option fields and one input, the chosen option's outcome"},
    };
    for (const auto& [fault, expected] : found) EXPECT_EQ(fault, expected);
}

struct LogisticWithoutPrior : response::Logistic {
    static constexpr std::array params{fitted("beta", Transform::log, {0.0, 16.0}), param("bias")};
};
struct LogisticHeldBelowZero : response::Logistic {
    static constexpr std::array params{fitted("beta", Transform::log, {0.0, 16.0}).hold(-1.0)};
};

TEST(ModelCheck, EveryDeclaredModelAndResponseModelIsSound) {
    for (std::size_t i = 0; i < engine::model_count; ++i)
        EXPECT_EQ(engine::visit_model(i, []<class M>() { return engine::model_fault<M>(); }), "") << i;
    for (std::size_t i = 0; i < response::kind_count; ++i)
        EXPECT_EQ(visit_entry<response::Kinds>(i, []<class R>() { return engine::response_fault<R>(); }), "") << i;
    EXPECT_EQ(engine::response_fault<LogisticWithoutPrior>(),
              "a fitted parameter's prior is not finite with a positive variance");
    EXPECT_EQ(engine::response_fault<LogisticHeldBelowZero>(), "a held value lies outside its transform's domain");
}

// The list functions' defaults are read from the descriptions by name, the never-read ones' too.
TEST(ModelCheck, ListDefaultsAreFoundByName) {
    static_assert(list_default<Sound>("unused") == 1.0);
    EXPECT_EQ(list_default<Sound>("unused"), Sound::list_only[0].list_default);
}

}  // namespace

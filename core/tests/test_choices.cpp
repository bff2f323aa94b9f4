// Choices: the discounting models' values, the objective's gradient for every pair of model and
// response model a fit uses, and the response models' terms at beliefs and logits far out.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "discounting.hpp"
#include "engine/objective.hpp"
#include "learning.hpp"
#include "response.hpp"

namespace velmora {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using D1 = Dual<1>;

// Every trial's (value_sooner, value_later, difference) and belief under M with its one parameter.
template <class M, class T>
Result<std::vector<std::array<T, 4>>> values(T param, const std::vector<double>& inputs) {
    const T p[] = {param};
    std::vector<std::array<T, 4>> out;
    auto done = M::run(engine::unpack<M>(std::span<const T>(p), 0, false, 0), inputs,
                       [&](std::size_t, const Trial<T, 3>& t) {
                           out.push_back({t.fields[0], t.fields[1], t.fields[2], t.belief});
                           return Flow::go_on;
                       });
    if (!done) return std::unexpected(done.error());
    return out;
}

// Offers now, after fractions of a unit, after one unit and after a year, of amounts of either sign.
std::vector<double> offer_grid() {
    const double amounts[] = {10.0, 0.0, -3.5, 1234.5, 7.25}, delays[] = {0.0, 0.25, 1.0, 7.5, 365.0};
    std::vector<double> rows;
    for (const double a : amounts)
        for (std::size_t i = 0; i < 5; ++i) rows.insert(rows.end(), {a, delays[i], a + 1.0, delays[(i + 2) % 5]});
    return rows;
}

// The model's value of one offer: the list function's discounting, or A / (1 + k D).
template <class M>
double expected(double amount, double delay, double param) {
    if constexpr (M::name == "discount")
        return discounting::discounted_value(amount, delay, param);
    else
        return amount / (1.0 + param * delay);
}

template <class M>
void check_values(std::initializer_list<double> params) {
    SCOPED_TRACE(M::name);
    const std::vector<double> rows = offer_grid();
    for (const double p : params) {
        SCOPED_TRACE(p);
        auto exact = values<M>(p, rows);
        auto dual = values<M>(D1::variable(p, 0), rows);
        ASSERT_TRUE(exact && dual);
        ASSERT_EQ(exact->size(), rows.size() / 4);
        for (std::size_t t = 0; t < exact->size(); ++t) {
            const double* row = rows.data() + 4 * t;
            const double sooner = expected<M>(row[0], row[1], p), later = expected<M>(row[2], row[3], p);
            const std::array<double, 4> want{sooner, later, later - sooner, later - sooner};
            for (std::size_t f = 0; f < 4; ++f) {
                EXPECT_EQ((*exact)[t][f], want[f]) << "trial " << t << " field " << f;
                EXPECT_EQ((*dual)[t][f].v, want[f]) << "trial " << t << " field " << f;
            }
        }
    }
}

TEST(Discounting, ValuesAreTheClosedFormsOnBothPaths) {
    check_values<discounting::Exponential>({0.0, 0.3, 0.95, 1.0});
    check_values<discounting::Hyperbolic>({0.0, 0.02, 1.5});
}

// Gradients against finite differences of the exact path, for every model and response model a fit pairs.
struct Pair {
    const char* model;
    const char* response;
};

class Objective : public testing::TestWithParam<Pair> {};

const std::map<std::string_view, std::vector<std::vector<double>>> model_points{
    {"kalman", {{0.2, 1.5, 0.05, 0.4}, {0.6, 0.3, 0.2, 1.0}}},
    {"hgf", {{0.3, 1.1, 0.02, 0.1, 1.2, 0.2}, {0.1, 0.5, 0.05, 0.4, 0.5, 0.6}}},
    {"td", {{0.2, 0.3}, {0.7, 0.85}}},
    {"discount", {{0.9}, {0.55}}},
    {"hyperbolic", {{0.05}, {0.8}}},
};
const std::map<std::string_view, std::vector<std::vector<double>>> response_points{
    {"gaussian", {{0.3}, {1.7}}}, {"unit_square", {{2.0}, {0.7}}}, {"logistic", {{3.0, 0.4}, {0.5, -0.2}}}};

TEST_P(Objective, GradientIsTheSlopeOfTheExactValue) {
    const auto [model_name, response_name] = GetParam();
    const std::size_t model = *engine::model_index(model_name), width = engine::input_width_of(model), n = 16;
    std::vector<double> inputs, responses;
    for (std::size_t t = 0; t < n; ++t) {
        const double s = std::sin(1.3 * static_cast<double>(t));
        if (width == 1)
            inputs.push_back(0.5 + 0.35 * s);
        else
            inputs.insert(inputs.end(), {4.0 + 2.0 * s, t % 3 == 0 ? 0.0 : 0.5 * t, 6.0 + 3.0 * s, 1.0 + 0.75 * t});
        const bool missed = t == 2 || t == 9;
        const double choice = t % 3 == 1 ? 0.0 : 1.0;
        responses.push_back(missed ? kNaN : std::string_view(response_name) == "gaussian" ? 0.4 + 0.3 * s : choice);
    }
    engine::Likelihood task{model, *index_named<response::Kinds>(response_name), 0, inputs, responses, {}};
    for (const auto& mp : model_points.at(model_name)) {
        for (const auto& rp : response_points.at(response_name)) {
            std::vector<double> p = mp;
            p.insert(p.end(), rp.begin(), rp.end());
            ASSERT_EQ(engine::likelihood_param_count(task.model, task.response, 0), p.size());
            SCOPED_TRACE(testing::PrintToString(p));
            auto f = [&](std::span<const double> at) {
                engine::Likelihood moved = task;
                moved.params = at;
                return engine::negative_log_likelihood(moved, {}, {}).value();
            };
            // Every parameter free, in reverse order, so that a lane mapped to the wrong parameter shows.
            std::vector<std::size_t> free;
            for (std::size_t i = p.size(); i-- > 0;) free.push_back(i);
            std::vector<double> grad(p.size());
            task.params = p;
            const Result<double> lanes = engine::negative_log_likelihood(task, free, grad);
            ASSERT_TRUE(lanes.has_value());
            EXPECT_TRUE(std::isfinite(*lanes));
            EXPECT_EQ(*lanes, f(p));
            // A missed trial adds nothing (its response is no 0), though the model still sees its input.
            const std::vector<double> none(n, kNaN);
            engine::Likelihood missed = task;
            missed.responses = none;
            std::vector<double> unused(p.size());
            EXPECT_EQ(engine::negative_log_likelihood(missed, free, unused).value(), 0.0);
            for (std::size_t j = 0; j < free.size(); ++j) {
                const std::size_t i = free[j];
                const double h = 1e-4 * std::max(1.0, std::fabs(p[i]));
                std::vector<double> q = p;
                double at[4];
                for (int k = 0; k < 4; ++k) {
                    q[i] = p[i] + h * std::array{-2.0, -1.0, 1.0, 2.0}[k];
                    at[k] = f(q);
                }
                const double slope = (at[0] - 8.0 * at[1] + 8.0 * at[2] - at[3]) / (12.0 * h);
                EXPECT_NEAR(grad[j], slope, 1e-7 * (1.0 + std::fabs(*lanes))) << "parameter " << i;
            }
        }
    }
}

const Pair fitted[] = {{"kalman", "gaussian"}, {"kalman", "unit_square"}, {"kalman", "logistic"},
                       {"hgf", "gaussian"},    {"hgf", "unit_square"},    {"hgf", "logistic"},
                       {"td", "gaussian"},     {"td", "unit_square"},     {"td", "logistic"},
                       {"discount", "logistic"}, {"hyperbolic", "logistic"}};
INSTANTIATE_TEST_SUITE_P(Fitted, Objective, testing::ValuesIn(fitted),
                         [](const auto& info) { return std::string(info.param.model) + "_" + info.param.response; });

// log(1 + e^x) in long double, whose range holds e^10000: directly above 0, by log1p below.
long double softplus_wide(double x) {
    const long double e = std::exp(static_cast<long double>(x));
    return x > 0.0 ? std::log(1.0L + e) : std::log1p(e);
}

TEST(Responses, LogisticTermsHoldTheirDigitsForAnyLogit) {
    const double params[] = {1.0, 0.0};  // beta, bias: the logit is the belief
    for (const double z : {-1e4, -800.0, -745.0, -40.0, -1.0, 0.0, 1e-300, 1.0, 40.0, 800.0, 1e4}) {
        SCOPED_TRACE(z);
        for (const double y : {0.0, 1.0}) {
            response::Logistic::Sum<double> sum(params);
            sum.add(Trial<double, 0>{z, 0.0, 0.0, 0.0, {}}, y);
            EXPECT_DOUBLE_EQ(sum.total(), static_cast<double>(softplus_wide(y == 1.0 ? -z : z))) << y;
        }
        // The slope is the logistic function, without overflow at either end.
        const D1 s = softplus(D1::variable(z, 0));
        EXPECT_EQ(s.v, softplus(z));
        EXPECT_DOUBLE_EQ(s.d[0], static_cast<double>(1.0L / (1.0L + std::exp(-static_cast<long double>(z)))));
    }
    EXPECT_DOUBLE_EQ(softplus(-40.0), std::exp(-40.0));
    EXPECT_EQ(softplus(40.0), 40.0 + std::exp(-40.0));
    EXPECT_EQ(softplus(-1e4), 0.0);
}

}  // namespace
}  // namespace velmora

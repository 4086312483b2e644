// American, Bermudan, European and continuously monitored knock-out options under Kou's and
// Merton's jump-diffusions, by the partial integro-differential equation of the option's
// value in log-moneyness.
//
// Equation. With x = ln(S / K), tau the time to expiry and the value V = K v(x, tau)
// (degree one in S and K, so one solve serves every strike of one model and maturity):
//   v_tau = (sigma^2 / 2) v_xx + mu v_x - (r + lam) v + lam integral v(x + y) f(y) dy,
//   mu = r - q - sigma^2 / 2 - lam zeta,  zeta = E[e^Y] - 1,
// f the log-jump density (Kou: p eta1 e^{-eta1 y} for y > 0, (1 - p) eta2 e^{eta2 y} for
// y < 0; Merton: normal with mean m and deviation s), v(x, 0) the payoff (e^x - 1)+ or
// (1 - e^x)+; for early exercise v >= the payoff (a linear complementarity problem), for a
// knock-out v = 0 at and beyond the barrier.
//
// Discretisation (measured choices; see bench/README.md):
// - a grid in x stretched by an analytic map of the node number: a third of sigma sqrt(T) / 12
//   apart across the points asked for, the strike and the exercise boundary's path (found by
//   a pilot solve on a coarse uniform grid), rising smoothly to sigma sqrt(T) (at most 0.05)
//   beyond; every level's nodes are every other node of the next, so that Richardson's
//   extrapolation needs no interpolation between levels. The grid spans the requested points
//   with margins of the law's spread; beyond it the value is its asymptote (the discounted
//   parity forward, or the payoff, or 0), of the form a + b e^x, whose jump integrals are
//   closed forms. A knock-out's grid is uniform, its barrier at a node.
// - three-point differences on the unequal spacings (one-sided where the drift would break
//   the M-matrix property);
// - in time, Crank-Nicolson for the local terms with the jump integral explicit and
//   extrapolated (the CNAB scheme of Salmi and Toivanen, Appl. Numer. Math. 2014), after a
//   start of two implicit Euler half-steps (Rannacher, Numer. Math. 1984), restarted after
//   each Bermudan exercise date;
// - the exercise constraint solved exactly at every step by the Brennan-Schwartz
//   elimination (J. Finance 1977; the exercise region is one interval at the grid's end:
//   below the boundary for a put, above for a call);
// - the jump integral of the piecewise-linear interpolant exactly: Kou by the exponential
//   recursion on each cell (Toivanen, SIAM J. Sci. Comput. 2008), O(N) per step; Merton on a
//   uniform lattice s / 8 apart on the first level, by the hat functions' exact Gaussian
//   weights, convolved directly or by FFT (d'Halluin, Forsyth and Labahn, Numer. Math.
//   2005), whichever costs fewer operations, the lattice sampled from the nodes and the
//   integral interpolated back by cubics;
// - levels of grids, each with half the spacing and half the time step of the one before;
//   the value is Richardson's extrapolation (4 fine - coarse) / 3 of the two finest, its
//   error estimate half the change from the extrapolation of the pair before. Three
//   levels, and one more at a time while the estimate exceeds the tolerance (at most
//   maxRefinements, each four times the work of the one before).
#pragma once

#include <cstddef>

namespace pide {

enum class Law { Kou, Merton };

struct Model {
    Law law;
    double T, r, q, sigma, lam;
    double p, eta1, eta2;  // Kou
    double m, s;           // Merton
};

enum class Exercise { European, American, Bermudan };
enum class Barrier { None, UpAndOut, DownAndOut };

struct Contract {
    bool call;
    Exercise exercise;
    const double *dates = nullptr;  // Bermudan: the exercise times from today, in [0, T)
    std::size_t dateCount = 0;
    Barrier barrier = Barrier::None;
    double xBarrier = 0.0;  // ln(H / K) for a knock-out (the option is dead at and beyond it)
};

// At one point x = ln(S / K), in units of K: the value, its first and second derivatives in
// x and in calendar time t (theta), the estimate of the value's error, and whether that is
// within the tolerance that applies there.
struct Point {
    double value, dx, dxx, dt, error;
    bool vouched;
};

enum class Status {
    Ok,
    Unresolved,  // the finest grid allowed did not bring the error estimate within tolerance
    TooLarge     // the grid the law needs exceeds kMaxNodes nodes or kMaxWork node-steps
};

constexpr std::size_t kMaxNodes = 1u << 16;
constexpr double kMaxWork = 5e7;  // nodes times steps of the finest solve (about half a second)

struct Settings {
    double tolerance = 1e-7;        // on the value, in units of S + K
    // Beside the exercise boundary (where the nodes within 5 h0 of the point, h0 the uniform
    // spacing sigma sqrt(T) / 12 at most 0.05, hold exercised and unexercised ones), where the
    // error does not follow a power of the spacing, this tolerance; where the interpolation's own nodes straddle it, the
    // finest level's value unextrapolated, its estimate the change from the level before.
    double nearTolerance = 1e-6;
    std::size_t boundaryCount = 0;  // critical points at t_j = j T / (count - 1), j < count
    double *boundary = nullptr;     // ln(S* / K) at those times (NaN where nothing is exercised)
    int maxRefinements = 1;         // levels beyond the first three
    double resolution = 1.0;        // the first level's nodes per length and steps, relative
    double marginScale = 1.0;       // the grid's margins beyond the points, relative
};

// Whether the holder may exercise today, at maturity T away: an American, or a Bermudan with
// a date at today (whose time to expiry T - date rounds to T). Such a value is at least its
// payoff; a Bermudan whose first date is later may be worth less.
bool exercisable_today(const Contract &contract, double T);

// The options of one model and contract at the points x[0 .. count) (each within
// kMaxMoneyness of 0; for a knock-out on the live side of the barrier). Allocates its grids;
// nothing else. Every argument in the toolkit's supported domain.
constexpr double kMaxMoneyness = 6.0;
Status solve(const Model &model, const Contract &contract, const double *x, std::size_t count, Point *out,
             const Settings &settings);

}  // namespace pide

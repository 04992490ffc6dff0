// set_position / rebalance through RunHooks, and the sums of weights.
#include "core/book.hpp"

#include "core/book_walk.hpp"
#include "core/numpy_sum.hpp"

namespace pelmora {

double numpy_abs_sum(const View1D<double>& x) {
  auto load = [&x](std::int64_t i, double* v) { v[0] = std::fabs(x.get(i)); };
  return numpy_sum_of(load, x.size);
}

double set_position(Book& p, int sid, double position, double cash, TradeCosts costs,
                    bool check_null, bool set_null, double balance, RunHooks& hooks) {
  return set_position(p, p.lower_bound(sid), sid, position, cash, costs, check_null, set_null,
                      balance, hooks);
}

double set_position(Book& p, Book::iterator lower, int sid, double position, double cash,
                    TradeCosts costs, bool check_null, bool set_null, double balance,
                    RunHooks& hooks) {
  return set_position_with(p, lower, sid, position, cash, costs, check_null, set_null, balance,
                           hooks);
}

double rebalance(Book& p, const View1D<double>& newp, double cash, TradeCosts costs,
                 double position_limit, RunHooks& hooks, double max_gross, FillSetup* setup,
                 const std::vector<std::int64_t>* targets, CashRule cash_rule) {
  return rebalance_with(p, newp, cash, costs, position_limit, hooks, max_gross, setup,
                        targets, cash_rule);
}

}  // namespace pelmora

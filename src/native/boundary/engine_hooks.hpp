// The engine's hooks into Python: the excursion module's native functions
// (bound through the capsule table), the module flags read from the engine
// module's dict at every resize, the truth of stop_trading_next_period, and
// the texts of labels and floats for error messages.
#pragma once

#include <Python.h>

#include <string>

#include "boundary/native_api.hpp"
#include "boundary/pyviews.hpp"
#include "core/engine.hpp"

namespace pelmora::py {

// "a str is used unchanged; an int or float gives its standard text; any
// other object is formatted with format(obj, "")".
std::string format_symbol(PyObject* symbol);
std::string float_repr(double value);

class PyRunHooks final : public RunHooks, public MessageHooks {
 public:
  // `flags_dict`: the dict holding RETAIN_COST_WHEN_REBALANCE and RESAMPLE.
  // `stop_trading`: the stop_trading_next_period object (borrowed for the run).
  // `pos_columns`: the stock labels, for messages.
  PyRunHooks(const api::Bindings& api, PyObject* flags_dict, PyObject* stop_trading,
             View1D<PyObject*> pos_columns);

  void record_date(int row) override;
  void record_entry(int sid, double weight, int has_transaction) override;
  void record_exit(int sid, int has_transaction) override;
  bool split_on_resize() override;
  bool stop_trading_next_period() override;
  std::string symbol_text(int sid) override;
  std::string float_text(double value) override;

  // Buffers whose views the caller reads between hook calls; every hook that
  // may run Python code checks them before returning.
  void guard(const Buffer* const* buffers, std::size_t n) {
    guarded_ = buffers;
    n_guarded_ = n;
  }

  void check_guarded() const { check_unmoved(guarded_, n_guarded_); }

 private:

  const api::Bindings& api_;
  PyObject* flags_dict_;
  PyObject* stop_trading_;
  View1D<PyObject*> pos_columns_;
  const Buffer* const* guarded_ = nullptr;
  std::size_t n_guarded_ = 0;
};

// Interned names of the two module flags.
PyObject* retain_cost_name();
PyObject* resample_name();

}  // namespace pelmora::py

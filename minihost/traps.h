// Slots of the host's tables that the effect has no business calling. Each is filled with a
// function of the slot's own signature that records the call and fails, so an effect whose
// declarations put a member at the wrong offset calls a trap instead of another service,
// and a test sees it.
#pragma once

#include <cmath>
#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

#include "AE_EffectSuites.h"

namespace minihost {

// The tables our host fills; a trap's name is its table's name and the member's.
enum class Table { Interact, Utils, UtilsAnsi, UtilsColor, Basic, AnsiSuite, WorldSuite,
                   Iterate8Suite, Iterate16Suite, ParamUtilsSuite, PreRenderCallbacks };

// Every trapped call since the process started (or the last clear), by slot name, in order.
std::vector<std::string> TrappedCalls();
void ClearTrappedCalls();

namespace trap_detail {

void NameSlot(Table table, size_t offset, const char* name);
void Record(Table table, size_t offset);

template <class R>
R Failure(Table table) {
  if constexpr (std::is_void_v<R>) return;
  else if constexpr (std::is_pointer_v<R>) return nullptr;
  else if constexpr (std::is_floating_point_v<R>) return std::nan("");
  else if constexpr (sizeof(R) == sizeof(PF_Err) && std::is_signed_v<R>)
    return R(table == Table::Basic ? SPErr(kSPUnimplementedError) : PF_Err(PF_Err_INVALID_CALLBACK));
  else return R{};  // booleans, sizes
}

template <Table T, size_t Offset, class F>
struct Trap;
template <Table T, size_t Offset, class R, class... A>
struct Trap<T, Offset, R (*)(A...)> {
  static R Call(A...) {
    Record(T, Offset);
    return Failure<R>(T);
  }
};
template <Table T, size_t Offset, class R, class... A>
struct Trap<T, Offset, R (*)(A..., ...)> {
  static R Call(A..., ...) {
    Record(T, Offset);
    return Failure<R>(T);
  }
};

}  // namespace trap_detail
}  // namespace minihost

// Fills member M of the table object OBJ (of table kind T) with its trap.
#define MINIHOST_TRAP(T, OBJ, M)                                                            \
  do {                                                                                      \
    using Record_ = std::remove_reference_t<decltype(OBJ)>;                                 \
    (OBJ).M = &::minihost::trap_detail::Trap<T, offsetof(Record_, M), decltype(Record_::M)>::Call; \
    ::minihost::trap_detail::NameSlot(T, offsetof(Record_, M), #T "." #M);                  \
  } while (0)

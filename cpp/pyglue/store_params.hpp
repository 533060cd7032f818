// The arguments of a prepared store's load, declared once for the base store
// and the prepared store built on it (which hands them on unchanged).
#pragma once

#include "params.hpp"

namespace morvane::pyglue::params {

inline constexpr Param kLoadStartDate{
    "start_date", "str | int | None", none_default(), nullptr,
    "起始日期 (含), \"YYYYMMDD\" 文本或同样数字的整数, None 表示不限, 例如 \"20240102\""};
inline constexpr Param kLoadEndDate{"end_date", "str | int | None", none_default(), nullptr,
                                    "结束日期 (含), None 表示不限"};
inline constexpr Param kLoadKeys{
    "keys", "list[str] | None", none_default(), nullptr,
    "要读取的数据集键, 例如 [\"close_price\"]; None 表示全部数据集 (见上文)"};
inline constexpr Param kLoadMmap{
    "mmap",
    "bool",
    flag_default(true),
    nullptr,
    "True 时表格直接建立在只读内存映射上, 不复制数据; False 时每个数据集一次读入新的可写数组 "
    "(释放 GIL)",
    "",
    false};
inline constexpr Param kLoadVerify{
    "verify",
    "bool",
    flag_default(true),
    nullptr,
    "True 时无论是否映射, 所取日期范围内的每一行都与其校验和比对, 损坏的数据绝不会悄悄进入结果 "
    "(映射时这一遍也把页面读进内存, 代价约为读一遍文件); False 跳过逐行校验: 只给愿意承担风险的"
    "调用方 (例如刚校验过同一目录), 损坏的数据会不加提示地进入结果",
    "",
    false};

// The table of a store's load, bound as `name` ("Class.load").
[[nodiscard]] constexpr ParamTable<5> load_table(const char* name) {
  return {name,
          {{kLoadStartDate, kLoadEndDate, kLoadKeys, kLoadMmap, kLoadVerify}},
          5,
          "dict[str, typing.Any] | None"};
}

}  // namespace morvane::pyglue::params

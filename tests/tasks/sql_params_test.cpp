#include "tasks/sql_params.h"

#include <gtest/gtest.h>

namespace zuntar {
namespace {

TEST(SqlParams, MarkersOutsideLiteralsAndComments) {
  const PositionalSql p = ToPositional(
      "update T set A=:a, B='NOW', C=':NOT_ME', \"x:y\"=1 -- :COMMENT\n/* :BLOCK */ where ID=:Id and D=:A");
  EXPECT_EQ(p.text,
            "update T set A=?, B='NOW', C=':NOT_ME', \"x:y\"=1 -- :COMMENT\n/* :BLOCK */ where ID=? and D=?");
  EXPECT_EQ(p.names, (std::vector<std::string>{"A", "ID", "A"}));
}

TEST(SqlParams, DoubledQuoteStaysInsideTheLiteral) {
  const PositionalSql p = ToPositional("select 'it''s :X' from T where A=:B_1$");
  EXPECT_EQ(p.text, "select 'it''s :X' from T where A=?");
  EXPECT_EQ(p.names, (std::vector<std::string>{"B_1$"}));
}

}  // namespace
}  // namespace zuntar

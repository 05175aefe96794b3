#include "cfg.h"

#include <algorithm>
#include <functional>
#include <string>
#include <type_traits>

#include "calls.h"
#include "query.h"
#include "registry.h"

namespace cfg {

namespace {

constexpr std::string_view C_IF[] = {"if_statement"};
constexpr std::string_view C_WHILE[] = {"while_statement"};
constexpr std::string_view C_FOR[] = {"for_statement"};
constexpr std::string_view C_DO_WHILE[] = {"do_statement"};
constexpr std::string_view C_RETURN[] = {"return_statement"};
constexpr std::string_view C_BREAK[] = {"break_statement"};
constexpr std::string_view C_CONTINUE[] = {"continue_statement"};
constexpr std::string_view C_BLOCK[] = {"compound_statement"};

constexpr std::string_view RUST_IF[] = {"if_expression"};
constexpr std::string_view RUST_WHILE[] = {"while_expression"};
constexpr std::string_view RUST_FOR[] = {"for_expression"};
constexpr std::string_view RUST_LOOP[] = {"loop_expression"};
constexpr std::string_view RUST_RETURN[] = {"return_expression"};
constexpr std::string_view RUST_BREAK[] = {"break_expression"};
constexpr std::string_view RUST_CONTINUE[] = {"continue_expression"};
constexpr std::string_view RUST_BLOCK[] = {"block"};
constexpr std::string_view RUST_EXPRESSION_WRAPPER[] = {"expression_statement"};

constexpr std::string_view ELSE_WRAPPER[] = {"else_clause"};

bool contains(KindList list, std::string_view kind) {
  return std::find(list.begin(), list.end(), kind) != list.end();
}

Range node_range(TSNode node) { return {ts_node_start_byte(node), ts_node_end_byte(node)}; }

std::optional<TSNode> optional_field(TSNode node, std::string_view name) {
  TSNode child = query::field(node, name);
  if (ts_node_is_null(child)) return std::nullopt;
  return child;
}

// Looks through expression statements to the first named child they hold.
TSNode unwrap(TSNode node, KindList wrappers) {
  while (contains(wrappers, query::kind(node))) {
    TSNode inner = ts_node_named_child(node, 0);
    if (ts_node_is_null(inner)) break;
    node = inner;
  }
  return node;
}

const CfgKinds* kinds_for_key(std::string_view key) {
  if (key == "c" || key == "cpp") return &C_CFG_KINDS;
  if (key == "rust") return &RUST_CFG_KINDS;
  return nullptr;
}

}  // namespace

const CfgKinds C_CFG_KINDS = {
    .if_kinds = C_IF,
    .while_kinds = C_WHILE,
    .for_kinds = C_FOR,
    .loop_kinds = {},
    .do_while_kinds = C_DO_WHILE,
    .return_kinds = C_RETURN,
    .break_kinds = C_BREAK,
    .continue_kinds = C_CONTINUE,
    .block_kinds = C_BLOCK,
    .expression_wrapper_kinds = {},
    .else_wrapper_kinds = ELSE_WRAPPER,
};

const CfgKinds RUST_CFG_KINDS = {
    .if_kinds = RUST_IF,
    .while_kinds = RUST_WHILE,
    .for_kinds = RUST_FOR,
    .loop_kinds = RUST_LOOP,
    .do_while_kinds = {},
    .return_kinds = RUST_RETURN,
    .break_kinds = RUST_BREAK,
    .continue_kinds = RUST_CONTINUE,
    .block_kinds = RUST_BLOCK,
    .expression_wrapper_kinds = RUST_EXPRESSION_WRAPPER,
    .else_wrapper_kinds = ELSE_WRAPPER,
};

std::size_t CfgBuilder::EdgeHash::operator()(const Edge& e) const noexcept {
  std::size_t h = std::hash<std::uint64_t>{}(e.from);
  h ^= std::hash<std::uint64_t>{}(e.to) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
  h ^= static_cast<std::size_t>(e.kind) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
  return h;
}

CfgBuilder::CfgBuilder(const CfgKinds& kinds, TSNode body) : kinds_(kinds), cursor_(body) {
  new_block(ts_node_start_byte(body));
}

std::uint64_t CfgBuilder::new_block(std::uint64_t pos) {
  std::uint64_t id = blocks_.size();
  blocks_.push_back(BasicBlock{id, {}, {pos, pos}, std::nullopt});
  terminated_.push_back(false);
  return id;
}

// Every id in use came from new_block, so a failed check is a bug here.
void CfgBuilder::check_id(std::uint64_t id) const {
  if (id >= blocks_.size() || id >= terminated_.size()) {
    throw registry::InternalError("cfg: block id " + std::to_string(id) + " out of range");
  }
}

BasicBlock& CfgBuilder::block(std::uint64_t id) {
  check_id(id);
  return blocks_[id];
}

bool CfgBuilder::is_terminated(std::uint64_t id) const {
  check_id(id);
  return terminated_[id];
}

void CfgBuilder::mark_terminated(std::uint64_t id) {
  check_id(id);
  terminated_[id] = true;
}

void CfgBuilder::set_condition(std::uint64_t id, TSNode condition) {
  block(id).condition_range = node_range(condition);
}

void CfgBuilder::append_stmt(TSNode node) {
  BasicBlock& b = block(current_block_);
  Range r = node_range(node);
  if (b.statements.empty()) b.byte_range.first = r.first;
  b.byte_range.second = r.second;
  b.statements.push_back(r);
}

void CfgBuilder::add_edge(std::uint64_t from, std::uint64_t to, CfgEdge kind) {
  Edge e{from, to, kind};
  if (edge_set_.insert(e).second) edges_.push_back(e);
}

void CfgBuilder::push_visit(TSNode node) { work_.push_back(Task{Task::Visit{node}}); }

const std::vector<TSNode>& CfgBuilder::named_children(TSNode node) {
  children_.clear();
  cursor_.reset(node);
  if (ts_tree_cursor_goto_first_child(cursor_.get())) {
    do {
      TSNode child = ts_tree_cursor_current_node(cursor_.get());
      if (ts_node_is_named(child)) children_.push_back(child);
    } while (ts_tree_cursor_goto_next_sibling(cursor_.get()));
  }
  return children_;
}

void CfgBuilder::push_block_children(TSNode node) {
  const std::vector<TSNode>& kids = named_children(node);
  for (auto it = kids.rbegin(); it != kids.rend(); ++it) push_visit(*it);
}

CfgBuilder::LoopTargets CfgBuilder::pop_loop() {
  if (loop_stack_.empty()) throw registry::InternalError("cfg: loop stack underflow");
  LoopTargets top = loop_stack_.back();
  loop_stack_.pop_back();
  return top;
}

void CfgBuilder::run(TSNode body) {
  push_visit(body);
  while (!work_.empty()) {
    Task task = work_.back();
    work_.pop_back();
    std::visit(
        [this](const auto& step) {
          using T = std::decay_t<decltype(step)>;
          if constexpr (std::is_same_v<T, Task::Visit>) {
            visit(step.node);
          } else if constexpr (std::is_same_v<T, Task::AfterThen>) {
            after_then(step);
          } else if constexpr (std::is_same_v<T, Task::Join>) {
            join(step);
          } else if constexpr (std::is_same_v<T, Task::WhileEnd>) {
            pop_loop();
            close_loop(step.head, step.exit);
          } else if constexpr (std::is_same_v<T, Task::ForEnd>) {
            for_end(step);
          } else if constexpr (std::is_same_v<T, Task::LoopEnd>) {
            pop_loop();
            close_loop(step.body, step.exit);
          } else {
            static_assert(std::is_same_v<T, Task::DoWhileEnd>);
            do_while_end(step);
          }
        },
        task.step);
  }
}

void CfgBuilder::visit(TSNode node) {
  node = unwrap(node, kinds_.expression_wrapper_kinds);
  std::string_view k = query::kind(node);
  if (contains(kinds_.block_kinds, k)) {
    push_block_children(node);
  } else if (contains(kinds_.if_kinds, k)) {
    visit_if(node);
  } else if (contains(kinds_.while_kinds, k)) {
    visit_while_or_for(node, false);
  } else if (contains(kinds_.for_kinds, k)) {
    visit_while_or_for(node, true);
  } else if (contains(kinds_.loop_kinds, k)) {
    visit_loop(node);
  } else if (contains(kinds_.do_while_kinds, k)) {
    visit_do_while(node);
  } else if (contains(kinds_.return_kinds, k)) {
    visit_return(node);
  } else if (contains(kinds_.break_kinds, k)) {
    visit_jump(node, true);
  } else if (contains(kinds_.continue_kinds, k)) {
    visit_jump(node, false);
  } else {
    append_stmt(node);
  }
}

void CfgBuilder::visit_if(TSNode node) {
  std::uint64_t c = current_block_;
  if (auto condition = optional_field(node, "condition")) set_condition(c, *condition);
  std::uint64_t t = new_block(ts_node_start_byte(node));
  add_edge(c, t, CfgEdge::TrueBranch);
  current_block_ = t;
  work_.push_back(Task{Task::AfterThen{c, node}});
  if (auto consequence = optional_field(node, "consequence")) push_visit(*consequence);
}

void CfgBuilder::after_then(const Task::AfterThen& task) {
  std::uint64_t then_end = current_block_;
  std::uint64_t e = new_block(ts_node_start_byte(task.if_node));
  add_edge(task.condition_block, e, CfgEdge::FalseBranch);
  work_.push_back(Task{Task::Join{then_end, task.if_node}});
  current_block_ = e;
  if (auto alternative = optional_field(task.if_node, "alternative")) push_alternative(*alternative);
}

// An else clause holds its branch, the first named child that is not an extra,
// and may hold comments ahead of it (the runtime never ends a node with an
// extra). The comments stay statements of the else block, in document order,
// as in any sequence. A clause without a branch is not looked through.
void CfgBuilder::push_alternative(TSNode node) {
  std::vector<TSNode> comments;  // outer clauses first
  while (contains(kinds_.else_wrapper_kinds, query::kind(node))) {
    const std::vector<TSNode>& kids = named_children(node);
    auto branch = std::find_if(kids.begin(), kids.end(), [](TSNode kid) { return !ts_node_is_extra(kid); });
    if (branch == kids.end()) break;
    comments.insert(comments.end(), kids.begin(), branch);
    node = *branch;
  }
  push_visit(node);
  for (auto it = comments.rbegin(); it != comments.rend(); ++it) push_visit(*it);
}

void CfgBuilder::join(const Task::Join& task) {
  std::uint64_t j = new_block(ts_node_end_byte(task.if_node));
  if (!is_terminated(task.then_end)) add_edge(task.then_end, j, CfgEdge::Fallthrough);
  if (!is_terminated(current_block_)) add_edge(current_block_, j, CfgEdge::Fallthrough);
  current_block_ = j;
}

void CfgBuilder::visit_while_or_for(TSNode node, bool is_for) {
  if (is_for) {
    if (auto initializer = optional_field(node, "initializer")) append_stmt(*initializer);
  }
  std::uint64_t c = current_block_;
  std::uint64_t h = new_block(ts_node_start_byte(node));
  if (!is_terminated(c)) add_edge(c, h, CfgEdge::Fallthrough);
  if (auto condition = optional_field(node, "condition")) set_condition(h, *condition);
  std::uint64_t x = new_block(ts_node_end_byte(node));
  add_edge(h, x, CfgEdge::FalseBranch);
  std::uint64_t b = new_block(ts_node_start_byte(node));
  add_edge(h, b, CfgEdge::TrueBranch);
  current_block_ = b;
  loop_stack_.push_back({h, x});
  if (is_for) {
    work_.push_back(Task{Task::ForEnd{h, x, node}});
  } else {
    work_.push_back(Task{Task::WhileEnd{h, x}});
  }
  if (auto body = optional_field(node, "body")) push_visit(*body);
}

void CfgBuilder::close_loop(std::uint64_t back_target, std::uint64_t exit) {
  if (!is_terminated(current_block_)) add_edge(current_block_, back_target, CfgEdge::BackEdge);
  current_block_ = exit;
}

void CfgBuilder::for_end(const Task::ForEnd& task) {
  pop_loop();
  if (auto update = optional_field(task.for_node, "update")) {
    if (!is_terminated(current_block_)) append_stmt(*update);
  }
  close_loop(task.head, task.exit);
}

void CfgBuilder::visit_loop(TSNode node) {
  std::uint64_t c = current_block_;
  std::uint64_t b = new_block(ts_node_start_byte(node));
  if (!is_terminated(c)) add_edge(c, b, CfgEdge::Fallthrough);
  std::uint64_t x = new_block(ts_node_end_byte(node));
  current_block_ = b;
  loop_stack_.push_back({b, x});
  work_.push_back(Task{Task::LoopEnd{b, x}});
  if (auto body = optional_field(node, "body")) push_visit(*body);
}

void CfgBuilder::visit_do_while(TSNode node) {
  std::uint64_t c = current_block_;
  std::uint64_t b = new_block(ts_node_start_byte(node));
  if (!is_terminated(c)) add_edge(c, b, CfgEdge::Fallthrough);
  std::uint64_t cond = new_block(ts_node_end_byte(node));
  std::uint64_t x = new_block(ts_node_end_byte(node));
  current_block_ = b;
  loop_stack_.push_back({cond, x});
  work_.push_back(Task{Task::DoWhileEnd{b, cond, x, node}});
  if (auto body = optional_field(node, "body")) push_visit(*body);
}

void CfgBuilder::do_while_end(const Task::DoWhileEnd& task) {
  pop_loop();
  if (!is_terminated(current_block_)) {
    add_edge(current_block_, task.condition_block, CfgEdge::Fallthrough);
  }
  if (auto condition = optional_field(task.do_node, "condition")) {
    set_condition(task.condition_block, *condition);
  }
  add_edge(task.condition_block, task.body, CfgEdge::BackEdge);
  add_edge(task.condition_block, task.exit, CfgEdge::FalseBranch);
  current_block_ = task.exit;
}

void CfgBuilder::visit_return(TSNode node) {
  append_stmt(node);
  std::uint64_t r = new_block(ts_node_end_byte(node));
  add_edge(current_block_, r, CfgEdge::Return);
  mark_terminated(current_block_);
  current_block_ = r;
  mark_terminated(r);
}

void CfgBuilder::visit_jump(TSNode node, bool is_break) {
  append_stmt(node);
  if (!loop_stack_.empty()) {
    const LoopTargets& top = loop_stack_.back();
    if (is_break) {
      add_edge(current_block_, top.break_target, CfgEdge::Break);
    } else {
      add_edge(current_block_, top.continue_target, CfgEdge::Continue);
    }
  }
  mark_terminated(current_block_);
  std::uint64_t n = new_block(ts_node_end_byte(node));
  current_block_ = n;
  mark_terminated(n);
}

FunctionCfg CfgBuilder::finish() && {
  std::vector<std::uint64_t> exits;
  for (const Edge& e : edges_) {
    if (e.kind == CfgEdge::Return) exits.push_back(e.to);
  }
  std::uint64_t last = blocks_.size() - 1;
  bool leaves_last = std::any_of(edges_.begin(), edges_.end(),
                                 [last](const Edge& e) { return e.from == last; });
  if (!leaves_last && std::find(exits.begin(), exits.end(), last) == exits.end()) {
    exits.push_back(last);
  }
  std::sort(exits.begin(), exits.end());
  exits.erase(std::unique(exits.begin(), exits.end()), exits.end());
  return FunctionCfg{std::move(blocks_), std::move(edges_), 0, std::move(exits)};
}

std::optional<FunctionCfg> build_function_cfg(TSNode function, std::string_view language_key) {
  const CfgKinds* kinds = kinds_for_key(language_key);
  if (kinds == nullptr) return std::nullopt;
  auto body = optional_field(function, "body");
  if (!body) return std::nullopt;
  CfgBuilder builder(*kinds, *body);
  builder.run(*body);
  return std::move(builder).finish();
}

std::optional<FunctionCfg> function_cfg(TSNode root, std::string_view source, std::string_view name,
                                        std::string_view language_key, parse::Work& work) {
  // No function of another language gets a graph, so there is nothing to look for.
  if (kinds_for_key(language_key) == nullptr) return std::nullopt;
  query::Walk walk(root);
  do {
    if (!calls::is_function_kind(walk.kind())) continue;
    std::optional<std::string_view> found = calls::get_function_name(walk.node(), walk.place(), source, work);
    if (!found || *found != name) continue;
    if (std::optional<FunctionCfg> graph = build_function_cfg(walk.node(), language_key)) return graph;
  } while (walk.next());
  return std::nullopt;
}

}  // namespace cfg

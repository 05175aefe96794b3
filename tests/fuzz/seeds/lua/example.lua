local json = require("json")
local util = require "util"

-- tools:suppress luacheck:unused
local function count(words)
  local seen = {}
  for _, w in ipairs(words) do
    seen[w] = (seen[w] or 0) + 1
  end
  return seen
end

function M.report(words)
  for k, v in pairs(count(words)) do print(k, v) end
end

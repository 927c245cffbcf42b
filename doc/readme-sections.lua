-- pandoc filter for the manual page: every div with a "readme" attribute is
-- replaced by the body of README.md's section of that name, the blocks
-- between its heading and the next heading of any level. The README's path
-- comes in the metadata field "readme" (pandoc -M readme=PATH). Literal text
-- is set in bold and examples with .EX/.EE, as manual pages do: pandoc's own
-- font for it (\f[V], \f[C]) is one mandoc does not know.

-- Roff text of a literal line: backslashes and minus signs escaped, a
-- leading control character made plain.
local function roff_line(line)
  line = line:gsub("\\", "\\e"):gsub("%-", "\\-")
  if line:match("^[.']") then
    line = "\\&" .. line
  end
  return line
end

local function bold(code)
  local words = {}
  for word in code.text:gmatch("%S+") do
    if #words > 0 then
      table.insert(words, pandoc.Space())
    end
    table.insert(words, pandoc.Str(word))
  end
  return pandoc.Strong(words)
end

-- pandoc sets a table's columns in fractions of 70 ens, from the README's
-- equal dashes; with the page's indent and the gaps between columns that is
-- wider than an 80-column terminal, and a column may be narrower than a
-- path in it. Each column gets at least its longest word, the rest of the
-- room goes by pandoc's fractions, and the whole fits in 68 ens less 3 a gap.
local function longest_words(tbl)
  local longest = {}
  local rows = {table.unpack(tbl.head.rows)}
  for _, body in ipairs(tbl.bodies) do
    for _, row in ipairs(body.body) do
      table.insert(rows, row)
    end
  end
  for _, row in ipairs(rows) do
    for i, cell in ipairs(row.cells) do
      for word in pandoc.utils.stringify(cell.contents):gmatch("%S+") do
        longest[i] = math.max(longest[i] or 0, utf8.len(word) or #word)
      end
    end
  end
  return longest
end

local function fitted(tbl)
  local room = 68 - 3 * (#tbl.colspecs - 1)
  local least, width, total, slack = longest_words(tbl), {}, 0, 0
  for i, spec in ipairs(tbl.colspecs) do
    if type(spec[2]) ~= "number" then
      return tbl -- no widths: tbl sizes the columns by their text
    end
    width[i] = math.max(least[i] or 1, spec[2] * room)
    total = total + width[i]
    slack = slack + width[i] - (least[i] or 1)
  end
  for i, spec in ipairs(tbl.colspecs) do
    if total > room and slack > 0 then
      width[i] = width[i] - (width[i] - (least[i] or 1)) * (total - room) / slack
    end
    spec[2] = width[i] / 70
  end
  return tbl
end

-- A paragraph right after a heading needs no paragraph macro of its own.
-- Text is set ragged right and not hyphenated: a table's narrow cells hold
-- paths that a justified line could not stretch around.
local function finished(doc)
  for i = 2, #doc.blocks do
    if doc.blocks[i].t == "Para" and doc.blocks[i - 1].t == "Header" then
      doc.blocks[i] = pandoc.Plain(doc.blocks[i].content)
    end
  end
  table.insert(doc.blocks, 1, pandoc.RawBlock("man", ".ad l\n.nh\n.nr HY 0"))
  return doc
end

local function example(block)
  local lines = {}
  for line in (block.text .. "\n"):gmatch("(.-)\n") do
    table.insert(lines, roff_line(line))
  end
  return pandoc.RawBlock("man", ".IP\n.EX\n" .. table.concat(lines, "\n") .. "\n.EE")
end

local function section_body(readme, name)
  local body, found = {}, false
  for _, block in ipairs(readme.blocks) do
    if block.t == "Header" then
      if found then
        break
      end
      found = pandoc.utils.stringify(block.content) == name
    elseif found then
      table.insert(body, block)
    end
  end
  if #body == 0 then
    error("README.md has no section \"" .. name .. "\" with a body")
  end
  return body
end

local function with_readme_sections(doc)
  local path = pandoc.utils.stringify(doc.meta.readme)
  local file = assert(io.open(path, "r"))
  -- Plain pipe tables, no typographic quotes: the README as written.
  local readme = pandoc.read(file:read("a"), "markdown-smart")
  file:close()
  doc.meta.readme = nil
  local blocks = {}
  for _, block in ipairs(doc.blocks) do
    if block.t == "Div" and block.attributes.readme then
      for _, inner in ipairs(section_body(readme, block.attributes.readme)) do
        table.insert(blocks, inner)
      end
    else
      table.insert(blocks, block)
    end
  end
  return pandoc.Pandoc(blocks, doc.meta)
end

-- The sections first, then the literal text and the tables in them and in
-- the page.
return {
  {Pandoc = with_readme_sections},
  {Code = bold, CodeBlock = example, Table = fitted},
  {Pandoc = finished},
}

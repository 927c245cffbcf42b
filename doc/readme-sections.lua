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

-- Literal text in bold, its hyphens as roff's minus sign (\-): what a
-- reader copies is the ASCII hyphen-minus, and no line breaks after one.
local function bold(code)
  local inlines = {}
  for word in code.text:gmatch("%S+") do
    if #inlines > 0 then
      table.insert(inlines, pandoc.Space())
    end
    local first = true
    for piece in (word .. "-"):gmatch("(.-)%-") do
      if not first then
        table.insert(inlines, pandoc.RawInline("man", "\\-"))
      end
      if piece ~= "" then
        table.insert(inlines, pandoc.Str(piece))
      end
      first = false
    end
  end
  return pandoc.Strong(inlines)
end

-- A table becomes a list of tagged paragraphs, as manual pages give such
-- lists: the first cell of a row is the tag, the others its text, each
-- named by its column's heading when there are more than one. A table of
-- roff's own (tbl) would split long cells over narrow columns, and it warns
-- when a cell meets the end of a printed page.
local function listed(tbl)
  local headings = tbl.head.rows[1] and tbl.head.rows[1].cells or {}
  local items = {}
  for _, body in ipairs(tbl.bodies) do
    for _, row in ipairs(body.body) do
      local text = {}
      for i = 2, #row.cells do
        local inlines = pandoc.utils.blocks_to_inlines(row.cells[i].contents)
        if #row.cells > 2 then
          local heading = pandoc.utils.stringify(headings[i].contents)
          table.insert(inlines, 1, pandoc.Strong(pandoc.Str(heading .. ":")))
          table.insert(inlines, 2, pandoc.Space())
        end
        table.insert(text, pandoc.Para(inlines))
      end
      table.insert(items, {pandoc.utils.blocks_to_inlines(row.cells[1].contents), {text}})
    end
  end
  return pandoc.DefinitionList(items)
end

-- A paragraph right after a heading needs no paragraph macro of its own.
-- Text is set ragged right and not hyphenated: paths and messages stay
-- whole, and a line that holds one long path needs no stretching.
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

-- Every README section from the first the page pulls in up to the one
-- named in the metadata field "readme-until" must be in the page: a section
-- added to the README there fails the build until the page places it.
local function check_all_pulled_in(readme, pulled, first, last)
  local inside = false
  for _, block in ipairs(readme.blocks) do
    if block.t == "Header" then
      local name = pandoc.utils.stringify(block.content)
      inside = (inside or name == first) and name ~= last
      if inside and not pulled[name] then
        error("README.md's section \"" .. name .. "\" is not in the manual page")
      end
    end
  end
end

local function with_readme_sections(doc)
  local path = pandoc.utils.stringify(doc.meta.readme)
  local file = assert(io.open(path, "r"))
  -- Plain pipe tables, no typographic quotes: the README as written.
  local readme = pandoc.read(file:read("a"), "markdown-smart")
  file:close()
  local blocks, pulled, first = {}, {}, nil
  for _, block in ipairs(doc.blocks) do
    local name = block.t == "Div" and block.attributes.readme
    if name then
      first = first or name
      pulled[name] = true
      for _, inner in ipairs(section_body(readme, name)) do
        table.insert(blocks, inner)
      end
    else
      table.insert(blocks, block)
    end
  end
  check_all_pulled_in(readme, pulled, first, pandoc.utils.stringify(doc.meta["readme-until"]))
  doc.meta.readme = nil
  doc.meta["readme-until"] = nil
  return pandoc.Pandoc(blocks, doc.meta)
end

-- The sections first, then the literal text and the tables in them and in
-- the page.
return {
  {Pandoc = with_readme_sections},
  {Code = bold, CodeBlock = example, Table = listed},
  {Pandoc = finished},
}

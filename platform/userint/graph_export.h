// SPDX-License-Identifier: GPL-3.0-or-later
// Getting the data out of a graph control: the plotted points as CSV or as
// tab-separated text, and the graph as a PNG or SVG picture.
//
// What is written is the program's data as plotted (x from the initial x and
// the increment, y with gain and offset applied), never the thinned outline
// that is drawn, and never cut to the zoomed view. Numbers are the shortest
// texts that read back as the same double, with a decimal point in every
// locale. A CSV file (RFC 4180, UTF-8, CRLF line ends) and the copied text
// start with '#' lines naming the program, its version, the time of saving and
// what the data is, then a header row of the axis titles, then one row per
// point: an x and a y column for each plot, and a last pair for the reference
// trace, labelled with its file's name. What the data is comes from the
// program, which describes each plot when it plots it (SetPlotMetadata): the
// panel may show other settings by the time of saving, and those are added
// only as the panel's, never as the data's. For a graph whose program
// describes none of its plots, every labelled setting and read-out of the
// panel as shown is all there is to say.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class QChartView;
class QWidget;
struct GraphState;

namespace userint_internal {

// The data's description as '#' lines: program and version, time of saving
// (ISO 8601 with the UTC offset), the graph's name, then each plot's own lines
// ("name: value", with " (plot N)" after the name when there are several),
// then each setting on the panel whose caption a plot names with another value
// ("Caption on the panel now, not of this data: shown text"). Without any
// plot's lines: each labelled setting and read-out of the panel `view` sits
// on, as "Label: shown text".
QStringList graph_metadata(const QChartView *view, const GraphState &g);

// The header row and the data rows of `g`, fields separated by `separator`
// (',' or '\t') and quoted where RFC 4180 asks for it; the `metadata` lines
// come first. Lines end in `lineEnd`.
QByteArray graph_data_text(const GraphState &g, const QStringList &metadata, char separator,
                           const char *lineEnd);

// True when a plot of `g`, or its reference, holds at least one point.
bool graph_has_data(const GraphState &g);

// Writes `bytes` to a new file beside `path` (the file a link at `path`
// names), flushes it and renames it to `path`, so that `path` is never left
// half-written and a failure leaves no file behind. False with the system's
// reason in *error ("No space left on device").
bool write_file_atomically(const QString &path, const QByteArray &bytes, QString *error);

// The operator's commands. Each asks for a file name in Qt's file dialog,
// starting in the folder last saved to by this program, and reports a failure
// in a popup naming the file and the reason.
void save_graph_data(QChartView *view, const GraphState &g);
void save_graph_picture(QChartView *view);
void copy_graph_data(const QChartView *view, const GraphState &g);

// Asks for an existing file to open in Qt's file dialog, starting where the
// save dialogs start; an empty string when cancelled.
QString ask_open_name(QWidget *owner, const QString &caption, const QStringList &filters);

// The program's short name, from its identity (panel_look.h); used for default
// file names, the remembered folder and the metadata.
QString program_name();
void set_program_name(const QString &name);

}  // namespace userint_internal

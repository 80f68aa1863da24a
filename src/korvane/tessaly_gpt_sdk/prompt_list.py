"""Sample queries offered by the notebook assistant's query form (title -> query text).

Each text is sent as a code-generation query together with a description of the
notebook's variables, so the queries speak of "the DataFrame" and its columns and
let the engine pick the right names from that context.
"""

prompts_list: dict[str, str] = {
    "Load a CSV file": (
        "Read the CSV file 'data.csv' into a pandas DataFrame called df, parse any date "
        "columns as dates, and show its shape, the first five rows and the dtype of every column."
    ),
    "First look at a DataFrame": (
        "Give a first overview of the DataFrame: its shape, column dtypes, memory usage, "
        "the number of missing values per column, and summary statistics for the numeric "
        "and the categorical columns."
    ),
    "Handle missing values": (
        "Report the count and percentage of missing values in each column of the DataFrame, "
        "then fill missing numeric values with the column median and missing categorical "
        "values with the most frequent value."
    ),
    "Remove duplicate rows": (
        "Count the duplicated rows in the DataFrame, show a few of them, and drop them, "
        "keeping the first occurrence and resetting the index."
    ),
    "Group and aggregate": (
        "Group the DataFrame by its main categorical column and compute the count, mean, "
        "median and sum of every numeric column, sorted by the count in descending order."
    ),
    "Plot a distribution": (
        "Plot a histogram with 30 bins of the first numeric column of the DataFrame with "
        "matplotlib, with a title and labelled axes."
    ),
    "Correlation heatmap": (
        "Compute the correlation matrix of the numeric columns of the DataFrame and draw it "
        "as an annotated heatmap with matplotlib, with the column names on both axes."
    ),
    "Find outliers": (
        "Find the outliers of every numeric column of the DataFrame with the interquartile "
        "range rule (below Q1 - 1.5*IQR or above Q3 + 1.5*IQR) and report how many rows each "
        "column flags."
    ),
    "Merge two DataFrames": (
        "Merge the two DataFrames on their common key column with a left join, and report "
        "how many rows found no match."
    ),
    "Resample a time series": (
        "Convert the date column of the DataFrame to datetime, set it as the index, and "
        "resample the numeric columns to monthly totals; plot the result as a line chart."
    ),
    "Train a baseline model": (
        "Split the DataFrame into features and the target column, make a stratified 80/20 "
        "train/test split with scikit-learn, fit a logistic regression baseline inside a "
        "pipeline that scales numeric and one-hot encodes categorical features, and print "
        "the classification report."
    ),
    "Save the results": (
        "Write the DataFrame to 'output.parquet' without the index, then read it back and "
        "check that it equals the original."
    ),
}

"""A first look at wordsieve: keywords with clean names, exact and fuzzy extraction, replacement,
batches and pickling."""

import pickle

from wordsieve import KeywordProcessor

processor = KeywordProcessor()
processor.add_keyword("New York", "NY")
processor.add_keyword("Big Apple", "NY")
processor.add_keyword("python")
processor.add_keyword("machine learning", "ML")
print(processor)

text = "I love New York! The Big Apple runs Python and machine learning jobs."
print("text:      ", text)
for match in processor.extract_keywords(text):
    # Positions are byte offsets into the lowercased UTF-8 text.
    print("  exact:   ", match)
print("replaced:  ", processor.replace_keywords(text))

typo = "I love New Yrok and pythn."
for match in processor.extract_keywords(typo, threshold=0.75):
    print("  fuzzy:   ", match)
print("fuzzy replaced:", processor.replace_keywords(typo, threshold=0.75))

texts = ["python in New York", "nothing here", "machine learning"]
print("batch:     ", processor.parallel_replace_keywords_from_texts(texts))

copy = pickle.loads(pickle.dumps(processor))
print("unpickled: ", copy, copy.replace_keywords(text) == processor.replace_keywords(text))
